// orvane.forge: growing the question population from observed gaps.
//
// For each gap an evaluation reported, the forge asks the brain which
// question, had it existed, would have caught the issue; each usable answer
// becomes a question one generation above the population, is saved as a
// question file and recorded as a "FORGE" event. Everything it calls is
// looked up when called: the brain's `ask`, the ledger's `append`, its own
// methods and constants through `self`, `protocol.make_event`, and
// `save_question` (ours when replaced here, else the seed module's).
//
// Several processes may forge into one questions directory at once. While
// `save_question` is the seed module's own, the question's file is created
// only if its name is still free, and a name taken in the meantime passes to
// the next suffix, so a forged question never replaces another one.
#include "support/files.hpp"
#include "support/host.hpp"
#include "support/json.hpp"
#include "support/text.hpp"

#include <string_view>

#include <sys/stat.h>

namespace {

using namespace orv;

Module mod;   // orvane.forge, read at call time
Module seeds; // orvane.seed

Name k_FORGE_OPEN{"_FORGE_OPEN"}, k_FORGE_CLOSE{"_FORGE_CLOSE"}, k_MAX_POPULATION{"MAX_POPULATION"},
    k_MIN_GAPS_TO_FORGE{"MIN_GAPS_TO_FORGE"}, k_brain{"_brain"}, k_ledger{"_ledger"},
    k_questions_dir{"_questions_dir"}, k_last_run_cost{"_last_run_cost"}, k_ask{"ask"},
    k_output{"output"}, k_cost_usd{"cost_usd"}, k_parse_forge_output{"_parse_forge_output"},
    k_should_forge{"should_forge"}, k_analyze_gaps{"analyze_gaps"},
    k_forge_question{"forge_question"}, k_protocol{"protocol"}, k_make_event{"make_event"},
    k_area{"area"}, k_forged_at{"forged_at"}, k_forged_from{"forged_from"},
    k_gap_description{"gap_description"}, k_gap_dimension{"gap_dimension"},
    k_brain_gap_analysis{"brain gap analysis"}, k_no_question_text{"(no question text)"},
    k_unspecified{"unspecified"}, k_none_text{"none"}, k_forge{"forge"};
Host pathlib_Path{"pathlib", "Path"}, json_dumps{"json", "dumps"};

PyObject* original_save_question = nullptr;  // seed.save_question when this module loaded

// `a or b`: a when it is truthy, else b.
object either(object a, object b) { return truth(a.ptr()) ? std::move(a) : std::move(b); }

// save_question as this module sees it now: our global when it was replaced
// here, else the seed module's attribute (so a patch of either is called).
object save_question_fn() {
    return mod.followed(k_save_question, original_save_question, seeds);
}

// ------------------------------------------------------------------ forge

ORV_FUNCTION(forge_init, "__init__(self, brain: BrainLike, ledger, questions_dir: str) -> None",
             "A forge asking `brain`, recording to `ledger`, saving into `questions_dir`.") {
    auto& [self, brain, ledger, questions_dir] = args;
    setattr(self, k_brain, handle(brain));
    setattr(self, k_ledger, handle(ledger));
    setattr(self, k_questions_dir, handle(questions_dir));
    setattr(self, k_last_run_cost, nb::float_(0.0));
    return nb::none();
}

// Gaps the brain listed on its own come first (a gap given only as an
// "area" uses it for both fields), then the gaps attached to findings, whose
// evidence is the finding's description.
ORV_FUNCTION(analyze_gaps,
             "analyze_gaps(self, findings: list[dict], gaps: list[dict] | None = None) -> list[dict]",
             "The gaps to forge from: the brain's own gaps, then those attached to findings.") {
    auto& [self, findings, gaps] = args;
    nb::list result;
    auto record = [&](handle description, handle dimension, handle evidence) {
        object gap = own(PyDict_New());
        set_item(gap, k_description, description);
        set_item(gap, k_dimension, dimension);
        set_item(gap, k_evidence, evidence);
        result.append(gap);
    };
    if (gaps != Py_None && truth(gaps)) {
        for_each(handle(gaps), [&](object gap) {
            if (!PyDict_Check(gap.ptr())) return;
            object description = either(get(gap, k_description, nb::none()),
                                        either(get(gap, k_area, nb::none()), nb::borrow(k_empty.h())));
            object dimension = either(get(gap, k_dimension, nb::none()),
                                      either(get(gap, k_area, nb::none()), nb::borrow(k_empty.h())));
            if (truth(description.ptr()) || truth(dimension.ptr()))
                record(text_of(description), text_of(dimension), k_brain_gap_analysis.h());
        });
    }
    for_each(handle(findings), [&](object finding) {
        for_each(get(finding, k_gaps, nb::list()), [&](object gap) {
            if (!PyDict_Check(gap.ptr())) return;
            object description = get(gap, k_description, k_empty.h());
            object dimension = get(gap, k_dimension, k_empty.h());
            if (truth(description.ptr()) || truth(dimension.ptr()))
                record(description, dimension, text_of(get(finding, k_description, k_empty.h())));
        });
    });
    return result;
}

ORV_FUNCTION(should_forge,
             "should_forge(self, findings: list[dict], current_population_size: int, "
             "gaps: list[dict] | None = None) -> bool",
             "Whether the population has room and enough gaps were seen to forge.") {
    auto& [self, findings, current_population_size, gaps] = args;
    if (compare(handle(current_population_size), getattr(self, k_MAX_POPULATION), Py_GE))
        return nb::bool_(false);
    object total = nb::int_(gaps != Py_None && truth(gaps) ? PyObject_Length(gaps) : 0);
    for_each(handle(findings), [&](object finding) {
        const Py_ssize_t n = PyObject_Length(get(finding, k_gaps, nb::list()).ptr());
        if (n < 0) raise_current();
        total = own(PyNumber_Add(total.ptr(), nb::int_(n).ptr()));
    });
    return nb::bool_(compare(total, getattr(self, k_MIN_GAPS_TO_FORGE), Py_GE));
}

// The prompt that asks the brain for one new question.
object forge_prompt(handle gap, handle existing_questions, handle goal) {
    nb::list summary_lines;
    for_each(existing_questions, [&](object q) {
        summary_lines.append(own(PyUnicode_FromFormat(
            "- %S: %S", get(q, k_name, k_empty.h()).ptr(),
            get(q, k_question, k_no_question_text.h()).ptr())));
    });
    object summary = own(PyUnicode_Join(nb::str("\n").ptr(), summary_lines.ptr()));
    object description = own(PyObject_GetItem(gap.ptr(), k_description));
    object dimension = get(gap, k_dimension, k_unspecified.h());
    object evidence = get(gap, k_evidence, k_none_text.h());
    return own(PyUnicode_FromFormat(
        "You are the Forge of Orvane, a question engine.\n\nGOAL: %S\n\nOur current questions:\n%S"
        "\n\nA gap has been identified in our evaluation coverage:\n  Gap: %S\n  Dimension: %S\n"
        "  Evidence: %S\n\nCreate a NEW evaluation question that would catch this type of issue "
        "proactively. The question must be different from all existing ones.\n\nRespond with "
        "structured output inside <orvane-forge>...</orvane-forge> tags as valid JSON:\n{\n"
        "  \"name\": \"short-kebab-case-name\",\n"
        "  \"question\": \"the core question (one sentence)\",\n"
        "  \"description\": \"how to apply this question (2-3 sentences)\",\n"
        "  \"tags\": [\"tag1\", \"tag2\"]\n}",
        goal.ptr(), summary.ptr(), description.ptr(), dimension.ptr(), evidence.ptr()));
}

// The file save_question writes the question named `name` to.
object question_file(handle directory, handle name) {
    object file_name = text::question_file_name(name);
    return own(PyNumber_TrueDivide(directory.ptr(), file_name.ptr()));
}

// Whether anything, a file or a link that leads nowhere, stands at the path
// where save_question would write the question named `name`.
bool file_taken(handle directory, handle name) {
    struct stat st;
    return ::lstat(files::SysPath(question_file(directory, name)).c_str(), &st) == 0;
}

// How many names a search tries: `name`, then "-2" up to this suffix.
constexpr long kNameAttempts = 1000;

// The first of `name`, name-2, name-3, ... that no question in `names`
// holds and that `claim` takes; FileExistsError when every one is refused.
template <typename Claim>
object first_free(handle directory, const object& name, handle names, Claim&& claim) {
    for (long attempt = 1; attempt <= kNameAttempts; ++attempt) {
        object candidate = attempt == 1 ? name
                                        : own(PyUnicode_FromFormat("%S-%ld", name.ptr(), attempt));
        if (!contains(names, candidate) && claim(candidate)) return candidate;
    }
    raise(PyExc_FileExistsError, "No free name for the question %R in %S", name.ptr(),
          directory.ptr());
}

// A name no existing question has and no stored file uses: the proposal; on a
// clash with an existing question, "-g<generation>" after it; and, while
// that is still taken by a question or a file, "-2", "-3", ... after it, so a
// forged question never replaces a stored one. Another process may still
// take the name before the question is saved: `run` claims it then.
object free_name(handle self, object name, handle names, handle generation) {
    if (contains(names, name))
        name = own(PyUnicode_FromFormat("%S-g%S", name.ptr(), generation.ptr()));
    object directory = pathlib_Path(getattr(self, k_questions_dir));
    return first_free(directory, name, names,
                      [&](handle candidate) { return !file_taken(directory, candidate); });
}

// save_question's file, created only if its name is still free: when another
// process (or anything else) took the file since the name was chosen, the
// question takes the next free suffix of its name instead, so no question is
// ever written over another. `names` are the questions the run knows.
void save_claimed(handle question, handle questions_dir, handle names) {
    object directory = pathlib_Path(questions_dir);
    files::make_directories(directory);
    PyObject* found = nullptr;
    must(PyMapping_GetOptionalItem(question.ptr(), k_name, &found));
    object name = found ? nb::steal(found) : nb::borrow(k_unnamed.h());
    first_free(directory, name, names, [&](handle candidate) {
        if (!candidate.is(name)) must(PyObject_SetItem(question.ptr(), k_name, candidate.ptr()));
        object content = json_dumps(question, nb::arg("indent") = 2);
        content = own(PyNumber_Add(content.ptr(), nb::str("\n").ptr()));
        if (!PyUnicode_Check(content.ptr()))  // as Path.write_text refuses it
            raise(PyExc_TypeError, "data must be str, not %.200s", type_name(content.ptr()));
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(content.ptr(), &size);
        if (!utf8) raise_current();
        return files::create_new(files::SysPath(question_file(directory, candidate)),
                                 std::string_view(utf8, static_cast<size_t>(size)));
    });
}

ORV_FUNCTION(forge_question,
             "forge_question(self, gap: dict, existing_questions: list[dict], goal: str) -> dict | None",
             "Ask the brain for a question that would have caught `gap`; None when its answer "
             "gives none.") {
    auto& [self, gap, existing_questions, goal] = args;
    object prompt = forge_prompt(handle(gap), handle(existing_questions), handle(goal));

    object result = call_method(getattr(self, k_brain), k_ask, prompt);
    PyObject* found = nullptr;
    must(PyObject_GetOptionalAttr(result.ptr(), k_output, &found));
    object output = found ? nb::steal(found) : text_of(result);
    found = nullptr;
    must(PyObject_GetOptionalAttr(result.ptr(), k_cost_usd, &found));
    if (found) {
        object cost = nb::steal(found);
        object spent = own(PyNumber_InPlaceAdd(getattr(self, k_last_run_cost).ptr(), cost.ptr()));
        setattr(self, k_last_run_cost, spent);
    }

    object parsed = call_method(self, k_parse_forge_output, output);
    if (parsed.is_none()) return nb::none();

    object max_generation = nb::int_(0);
    bool first = true;
    object names = own(PySet_New(nullptr));
    for_each(handle(existing_questions), [&](object q) {
        object generation = get(q, k_generation, nb::int_(0));
        if (first || compare(generation, max_generation, Py_GT)) max_generation = generation;
        first = false;
    });
    for_each(handle(existing_questions), [&](object q) {
        must(PySet_Add(names.ptr(), own(PyObject_GetItem(q.ptr(), k_name)).ptr()));
    });
    object generation = own(PyNumber_Add(max_generation.ptr(), nb::int_(1).ptr()));
    object name = free_name(self, own(PyObject_GetItem(parsed.ptr(), k_name)), names, generation);

    object question = own(PyDict_New());
    set_item(question, k_name, name);
    set_item(question, k_question, own(PyObject_GetItem(parsed.ptr(), k_question)));
    set_item(question, k_description, get(parsed, k_description, k_empty.h()));
    set_item(question, k_generation, generation);
    set_item(question, k_parent, get(gap, k_evidence, k_pressure_test.h()));
    set_item(question, k_immutable, nb::bool_(false));
    set_item(question, k_tags, get(parsed, k_tags, nb::list()));
    set_item(question, k_forged_at, mod.get(k_now_iso)());
    set_item(question, k_forged_from, nb::list());
    return question;
}

// Tags are kept only from a list, and only its strings: a single string is
// not split into letters.
ORV_FUNCTION(parse_forge_output, "_parse_forge_output(raw: str) -> dict | None",
             "The proposed question of a forge answer (name made safe, question, description, "
             "tags), or None.") {
    auto& [raw] = args;
    object data = text::tagged_json(handle(raw), mod.get(k_FORGE_OPEN), mod.get(k_FORGE_CLOSE));
    if (!data.is_valid() || !PyDict_Check(data.ptr())) return nb::none();
    object name = get(data, k_name, k_empty.h());
    object question = get(data, k_question, k_empty.h());
    if (!truth(name.ptr()) || !truth(question.ptr())) return nb::none();
    object safe = text::safe_name(text_of(name));
    if (PyObject_Length(safe.ptr()) == 0) return nb::none();

    nb::list tags;
    object given = get(data, k_tags, nb::list());
    if (PyList_Check(given.ptr()))
        for_each(given, [&](object tag) {
            if (PyUnicode_Check(tag.ptr())) tags.append(tag);
        });
    object parsed = own(PyDict_New());
    set_item(parsed, k_name, safe);
    set_item(parsed, k_question, text_of(question));
    set_item(parsed, k_description, text_of(get(data, k_description, k_empty.h())));
    set_item(parsed, k_tags, tags);
    return parsed;
}

ORV_FUNCTION(run,
             "run(self, findings: list[dict], existing_questions: list[dict], goal: str, "
             "gaps: list[dict] | None = None) -> list[dict]",
             "Full forge cycle: analyze gaps, forge questions, save, record to ledger") {
    auto& [self, findings, existing_questions, goal, gaps] = args;
    setattr(self, k_last_run_cost, nb::float_(0.0));
    const Py_ssize_t existing = PyList_GET_SIZE(existing_questions);
    object should = getattr(self, k_should_forge)(handle(findings), existing,
                                                  nb::arg("gaps") = handle(gaps));
    if (!truth(should.ptr())) return nb::list();
    object gap_list = call_method(self, k_analyze_gaps, handle(findings), handle(gaps));
    if (!truth(gap_list.ptr())) return nb::list();

    nb::list forged;
    object it = own(PyObject_GetIter(gap_list.ptr()));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        object gap = nb::steal(next);
        object count = nb::int_(PyList_GET_SIZE(existing_questions) + forged.size());
        if (compare(count, getattr(self, k_MAX_POPULATION), Py_GE)) break;
        object known = own(PySequence_Concat(existing_questions, forged.ptr()));
        object question = call_method(self, k_forge_question, gap, known, handle(goal));
        if (question.is_none()) continue;

        object save = save_question_fn();
        if (save.ptr() == original_save_question) {
            object names = own(PySet_New(nullptr));
            for_each(known, [&](object q) {
                must(PySet_Add(names.ptr(), get(q, k_name, nb::none()).ptr()));
            });
            save_claimed(question, getattr(self, k_questions_dir), names);
        } else {
            save(question, getattr(self, k_questions_dir));
        }
        object payload = own(PyDict_New());
        set_item(payload, k_question, own(PyObject_GetItem(question.ptr(), k_name)));
        set_item(payload, k_gap_description, own(PyObject_GetItem(gap.ptr(), k_description)));
        set_item(payload, k_gap_dimension, get(gap, k_dimension, k_empty.h()));
        object make_event = getattr(mod.get(k_protocol), k_make_event);
        object event = make_event(k_FORGE.h(), nb::arg("source") = k_forge.h(),
                                  nb::arg("payload") = payload,
                                  nb::arg("generation") = own(PyObject_GetItem(question.ptr(), k_generation)));
        call_method(getattr(self, k_ledger), k_append, event);
        forged.append(question);
    }
    if (PyErr_Occurred()) raise_current();
    return forged;
}

ORV_FUNCTION(brain_ask, "ask(self, prompt: str) -> Any", "Ask the brain; the answer carries `output`.") {
    return nb::none();
}

}  // namespace

NB_MODULE(forge, m) {
    mod.init(m, "The forge: new questions from observed gaps, saved and recorded.");
    json::init();
    object protocol = own(PyImport_ImportModule("orvane.protocol"));
    object seed = own(PyImport_ImportModule("orvane.seed"));
    seeds.init(seed, nullptr);
    m.attr("protocol") = protocol;
    original_save_question = seeds.get(k_save_question).release().ptr();
    m.attr("save_question") = handle(original_save_question);
    mod.function(now_iso_def);

    m.attr("_FORGE_TAG") = "orvane-forge";
    m.attr("_FORGE_OPEN") = "<orvane-forge>";
    m.attr("_FORGE_CLOSE") = "</orvane-forge>";

    object typing = own(PyImport_ImportModule("typing"));
    m.attr("Any") = typing.attr("Any");
    ClassBuilder brain_like(mod, "BrainLike", "Minimal interface the forge needs from a brain.");
    brain_like.base(typing.attr("Protocol")).method(brain_ask_def);
    m.attr("BrainLike") = brain_like.build();

    ClassBuilder forge(mod, "Forge", "Creates new questions from the gaps evaluations reported.");
    forge.attr("MAX_POPULATION", nb::int_(50))
        .attr("MIN_GAPS_TO_FORGE", nb::int_(2))
        .method(forge_init_def)
        .method(analyze_gaps_def)
        .method(forge_question_def)
        .method(should_forge_def)
        .method(run_def)
        .static_method(parse_forge_output_def);
    m.attr("Forge") = forge.build();
}
