// orvane.seed: the question population's fixed start, its files, and the
// evaluation prompt with the parser of the brain's answer.
//
// Two immutable seed questions start every population; the rest are forged
// and stored one JSON file per question. A stored question is whatever map
// its file holds: nothing is validated or filled in on load, so files written
// by newer versions pass through. The seeds are handed out only as deep
// copies. The parser never fails on an answer: anything unusable gives the
// default result. Module globals (`SEED_QUESTION`, `_ALL_SEEDS`, `_clamp`,
// the tags) and the host's json, copy and pathlib are read at call time.
#include "support/files.hpp"
#include "support/host.hpp"
#include "support/json.hpp"
#include "support/text.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include <dirent.h>

namespace {

using namespace orv;

Module mod;  // orvane.seed, read at call time

Name k_SEED_QUESTION{"SEED_QUESTION"}, k_ALL_SEEDS{"_ALL_SEEDS"}, k_EVAL_OPEN{"_EVAL_OPEN"},
    k_EVAL_CLOSE{"_EVAL_CLOSE"}, k_clamp{"_clamp"}, k_name{"name"}, k_question{"question"},
    k_description{"description"}, k_generation{"generation"}, k_immutable{"immutable"},
    k_findings{"findings"}, k_gaps{"gaps"}, k_meta{"meta"}, k_raw{"raw"}, k_severity{"severity"},
    k_category{"category"}, k_evidence{"evidence"}, k_dimension{"dimension"},
    k_confidence{"confidence"}, k_coverage_estimate{"coverage_estimate"},
    k_sort{"sort"}, k_add{"add"}, k_unnamed{"unnamed"},
    k_unknown{"unknown"}, k_pressure_test{"pressure-test"},
    k_opportunity_scan{"opportunity-scan"}, k_parent{"parent"}, k_tags{"tags"}, k_empty{""};
Host copy_deepcopy{"copy", "deepcopy"}, pathlib_Path{"pathlib", "Path"},
    json_dumps{"json", "dumps"}, json_JSONDecodeError{"json", "JSONDecodeError"};

// Made once when the module loads, kept for the process.
PyObject* clamp_function = nullptr;  // our own _clamp, to spot replacements
PyObject* sort_key = nullptr;        // the key of the population's order
PyObject* zero = nullptr;            // 0.0
PyObject* half = nullptr;            // 0.5
PyObject* one = nullptr;             // 1.0

// ------------------------------------------------------------------ seeds

ORV_FUNCTION(get_seed, "get_seed() -> dict", "A deep copy of the diagnostic seed question.") {
    return copy_deepcopy(mod.get(k_SEED_QUESTION));
}

ORV_FUNCTION(get_seeds, "get_seeds() -> list[dict]",
             "Deep copies of both seed questions, the diagnostic seed first.") {
    nb::list copies;
    for_each(mod.get(k_ALL_SEEDS), [&](object seed) { copies.append(copy_deepcopy(seed)); });
    return std::move(copies);
}

// A seed by all three marks: a seed's name, generation 0 and `immutable`
// being True itself (a truthy 1 or "yes" does not make a seed).
ORV_FUNCTION(is_seed, "is_seed(question: dict) -> bool",
             "True only for a question named like a seed, of generation 0 and immutable.") {
    auto& [question] = args;
    object name = get(question, k_name, nb::none());
    if (!equal(name, k_pressure_test.h()) && !equal(name, k_opportunity_scan.h()))
        return nb::bool_(false);
    if (!equal(get(question, k_generation, nb::none()), nb::int_(0))) return nb::bool_(false);
    return nb::bool_(get(question, k_immutable, nb::none()).ptr() == Py_True);
}

// ------------------------------------------------------------------ files

// pathlib.Path(questions_dir), created with its parents if missing.
object questions_path(handle questions_dir) {
    object path = pathlib_Path(questions_dir);
    files::make_directories(path);
    return path;
}

// The names of the directory's entries that match "*.json" (dot files too),
// in code point order as the host sorts its paths. A directory that cannot be
// listed has none, as the host's glob finds none there.
std::vector<object> json_entries(const std::string& dir) {
    std::vector<object> names;
    DIR* listing = ::opendir(dir.c_str());
    if (!listing) return names;
    struct Closer {
        DIR* d;
        ~Closer() { ::closedir(d); }
    } closer{listing};
    while (struct dirent* entry = ::readdir(listing)) {
        const std::string_view name(entry->d_name);
        if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
        names.push_back(own(PyUnicode_DecodeFSDefaultAndSize(
            name.data(), static_cast<Py_ssize_t>(name.size()))));
    }
    std::sort(names.begin(), names.end(),
              [](const object& a, const object& b) { return text_less(a.ptr(), b.ptr()); });
    return names;
}

// The population's order: (generation, name), 0 and "" when absent.
ORV_FUNCTION(question_key, "_question_key(question) -> tuple",
             "The sort key of a question: its generation and its name.") {
    auto& [question] = args;
    return nb::make_tuple(get(question, k_generation, nb::int_(0)),
                          get(question, k_name, k_empty.h()));
}

// Files are read as UTF-8 text (bytes that are not raise UnicodeDecodeError,
// as reading text does); entries that cannot be read (missing, a directory,
// no access) and invalid JSON are skipped.
ORV_FUNCTION(load_questions, "load_questions(questions_dir: str) -> list[dict]",
             "All questions stored in `questions_dir` plus any seed missing from it, "
             "ordered by generation and name.") {
    auto& [questions_dir] = args;
    object path = questions_path(questions_dir);

    nb::list questions;
    object seen = own(PySet_New(nullptr));
    for (const object& entry : json_entries(files::SysPath(path).c_str())) {
        object data;
        try {
            object file = own(PyNumber_TrueDivide(path.ptr(), entry.ptr()));
            data = json::loads(files::read_text(files::SysPath(file)));
        } catch (nb::python_error& err) {
            if (err.matches(PyExc_OSError) || err.matches(json_JSONDecodeError.get())) continue;
            throw;
        }
        if (!PyDict_Check(data.ptr()) || !contains(data, k_name.h())) continue;
        call_method(seen, k_add, own(PyObject_GetItem(data.ptr(), k_name)));
        questions.append(data);
    }

    for_each(mod.get(k_ALL_SEEDS), [&](object seed) {
        if (!contains(seen, own(PyObject_GetItem(seed.ptr(), k_name))))
            questions.append(copy_deepcopy(seed));
    });

    getattr(questions, k_sort)(nb::arg("key") = handle(sort_key));
    return std::move(questions);
}

// Written whole through a temporary file and a rename, so a reader never
// finds half a question and a failed write leaves the old file as it was.
ORV_FUNCTION(save_question, "save_question(question: dict, questions_dir: str) -> str",
             "Write the question's file (JSON, indent 2) and return its path.") {
    auto& [question, questions_dir] = args;
    object path = questions_path(questions_dir);
    object file_name = text::question_file_name(get(question, k_name, k_unnamed.h()));
    object file = own(PyNumber_TrueDivide(path.ptr(), file_name.ptr()));
    object content = json_dumps(handle(question), nb::arg("indent") = 2);
    content = own(PyNumber_Add(content.ptr(), nb::str("\n").ptr()));
    files::atomic_write_text(file, content);
    return own(PyObject_Str(file.ptr()));
}

// ---------------------------------------------------------------- numbers

// max(lo, min(hi, float(value))) as the host's min and max compute it, so NaN
// gives hi; a value float() refuses gives lo.
object clamp_value(PyObject* value, PyObject* lo, PyObject* hi) {
    object number;
    if (PyFloat_CheckExact(value)) {
        number = nb::borrow(value);
    } else {
        PyObject* converted = PyNumber_Float(value);
        if (!converted) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
                !PyErr_ExceptionMatches(PyExc_ArithmeticError))
                raise_current();
            PyErr_Clear();
            return nb::borrow(lo);
        }
        number = nb::steal(converted);
    }
    const double x = PyFloat_AS_DOUBLE(number.ptr());
    PyObject* low = x < PyFloat_AS_DOUBLE(hi) ? number.ptr() : hi;
    return nb::borrow(PyFloat_AS_DOUBLE(low) > PyFloat_AS_DOUBLE(lo) ? low : lo);
}

ORV_FUNCTION(clamp, "_clamp(value, lo: float = 0.0, hi: float = 1.0) -> float",
             "The value as a float, clamped into [lo, hi]; lo when it is not a number.") {
    auto& [value, lo, hi] = args;
    return clamp_value(value, lo, hi);
}

// ------------------------------------------------------------------ prompt

object concat(const char* prefix, handle value) {
    return own(PyUnicode_FromFormat("%s%S", prefix, value.ptr()));
}

ORV_FUNCTION(format_question_prompt,
             "format_question_prompt(question: dict, target_description: str, goal: str, "
             "context: str = \"\", depth: int = 0) -> str",
             "The evaluation prompt for one question applied to one target under the goal.") {
    auto& [question, target_description, goal, context, depth] = args;
    nb::list lines;
    lines.append(concat("GOAL (what 'right' means): ", handle(goal)));
    lines.append("");
    lines.append(concat("TARGET: ", handle(target_description)));
    lines.append("");
    if (compare(handle(depth), nb::int_(0), Py_GT) && PyUnicode_GET_LENGTH(context) > 0) {
        object previous = own(PyNumber_Subtract(depth, nb::int_(1).ptr()));
        lines.append(own(PyUnicode_FromFormat(
            "NOTE: You are evaluating PREVIOUS findings (depth %S), not the original target. "
            "The findings from depth %S were:",
            depth, previous.ptr())));
        lines.append(handle(context));
        lines.append("");
    }
    object name = own(PyObject_GetItem(question, k_name));
    object text = own(PyObject_GetItem(question, k_question));
    lines.append(own(PyUnicode_FromFormat("QUESTION [%S]: %S", name.ptr(), text.ptr())));
    object description = get(question, k_description, nb::none());
    if (truth(description.ptr())) lines.append(concat("Guidance: ", description));
    lines.append("");
    lines.append(
        "Respond with your analysis, then provide structured output inside "
        "<orvane-eval>...</orvane-eval> tags as valid JSON with this schema:");
    for (const char* line : {
             "{",
             "  \"findings\": [",
             "    {\"description\": \"...\", \"severity\": 0.0-1.0, \"category\": \"...\", "
             "\"evidence\": \"...\"}",
             "  ],",
             "  \"gaps\": [",
             "    {\"description\": \"...\", \"dimension\": \"...\"}",
             "  ],",
             "  \"meta\": {",
             "    \"confidence\": 0.0-1.0,",
             "    \"coverage_estimate\": 0.0-1.0",
             "  }",
             "}",
         })
        lines.append(line);
    return own(PyUnicode_Join(nb::str("\n").ptr(), lines.ptr()));
}

// ----------------------------------------------------------------- parsing

// The module's `_clamp` as it stands for this call: our own runs natively.
class Clamp {
public:
    Clamp() : fn_(mod.get(k_clamp)) {}
    object operator()(handle value) const {
        if (fn_.ptr() == clamp_function) return clamp_value(value.ptr(), zero, one);
        return fn_(value);
    }

private:
    object fn_;
};

// The map elements of `value` when it is a list, each turned into a record by
// `make`; anything that is not a list gives none.
template <typename Make>
object records(handle value, Make make) {
    nb::list out;
    if (!PyList_Check(value.ptr())) return std::move(out);
    for_each(value, [&](object element) {
        if (PyDict_Check(element.ptr())) out.append(make(element));
    });
    return std::move(out);
}

object meta_record(handle confidence, handle coverage) {
    object meta = own(PyDict_New());
    set_item(meta, k_confidence, confidence);
    set_item(meta, k_coverage_estimate, coverage);
    return meta;
}

ORV_FUNCTION(parse_question_output, "parse_question_output(output: str) -> dict",
             "The findings, gaps and meta estimates of the brain's answer, with the whole text "
             "under \"raw\"; never raises.") {
    auto& [output] = args;
    object data = text::tagged_json(handle(output), mod.get(k_EVAL_OPEN), mod.get(k_EVAL_CLOSE));
    if (!data.is_valid() || !PyDict_Check(data.ptr())) {
        object result = own(PyDict_New());
        set_item(result, k_findings, nb::list());
        set_item(result, k_gaps, nb::list());
        set_item(result, k_meta, meta_record(handle(zero), handle(zero)));
        set_item(result, k_raw, handle(output));
        return result;
    }

    const Clamp clamp;
    object result = own(PyDict_New());
    set_item(result, k_raw, handle(output));
    set_item(result, k_findings, records(get(data, k_findings, nb::list()), [&](handle f) {
                 object finding = own(PyDict_New());
                 set_item(finding, k_description, text_of(get(f, k_description, k_empty.h())));
                 set_item(finding, k_severity, clamp(get(f, k_severity, handle(half))));
                 set_item(finding, k_category, text_of(get(f, k_category, k_unknown.h())));
                 set_item(finding, k_evidence, text_of(get(f, k_evidence, k_empty.h())));
                 return finding;
             }));
    set_item(result, k_gaps, records(get(data, k_gaps, nb::list()), [&](handle g) {
                 object gap = own(PyDict_New());
                 set_item(gap, k_description, text_of(get(g, k_description, k_empty.h())));
                 set_item(gap, k_dimension, text_of(get(g, k_dimension, k_empty.h())));
                 return gap;
             }));
    object meta = get(data, k_meta, nb::dict());
    if (PyDict_Check(meta.ptr()))
        set_item(result, k_meta,
                 meta_record(clamp(get(meta, k_confidence, handle(zero))),
                             clamp(get(meta, k_coverage_estimate, handle(zero)))));
    else
        set_item(result, k_meta, meta_record(handle(zero), handle(zero)));
    return result;
}

// A seed question, its keys in file order.
object seed_question(const char* name, const char* question, const char* description,
                     std::initializer_list<const char*> tags) {
    object seed = own(PyDict_New());
    set_item(seed, k_name, nb::str(name));
    set_item(seed, k_question, nb::str(question));
    set_item(seed, k_description, nb::str(description));
    set_item(seed, k_generation, nb::int_(0));
    set_item(seed, k_parent, nb::none());
    set_item(seed, k_immutable, nb::bool_(true));
    nb::list tag_list;
    for (const char* tag : tags) tag_list.append(tag);
    set_item(seed, k_tags, tag_list);
    return seed;
}

}  // namespace

NB_MODULE(seed, m) {
    mod.init(m, "The seed questions, question files, the evaluation prompt and its parser.");
    json::init();
    zero = PyFloat_FromDouble(0.0);
    half = PyFloat_FromDouble(0.5);
    one = PyFloat_FromDouble(1.0);
    if (!zero || !half || !one) raise_current();

    object diagnostic = seed_question(
        "pressure-test", "What is the strongest case that this is wrong or incomplete?",
        "The universal self-check. First find flaws. Then find missing pieces. Then turn the lens "
        "on your own findings: are THEY correct? Are THEY complete? Apply recursively until a "
        "full pass finds nothing new.",
        {"seed", "meta", "recursive"});
    object generative = seed_question(
        "opportunity-scan",
        "What is the highest-value action available right now that no one is taking?",
        "The universal opportunity finder. Identify untapped potential, underused capabilities, "
        "missing connections between existing assets, and high-ROI moves that are ready to "
        "execute. Not what is broken \u2014 what is possible.",
        {"seed", "generative", "opportunity"});
    m.attr("SEED_QUESTION") = diagnostic;
    m.attr("GENERATIVE_SEED") = generative;
    nb::list all_seeds;
    all_seeds.append(diagnostic);
    all_seeds.append(generative);
    m.attr("_ALL_SEEDS") = all_seeds;

    m.attr("_EVAL_TAG") = "orvane-eval";
    m.attr("_EVAL_OPEN") = "<orvane-eval>";
    m.attr("_EVAL_CLOSE") = "</orvane-eval>";

    for (const Def* def : {&get_seed_def, &get_seeds_def, &is_seed_def, &load_questions_def,
                           &save_question_def, &format_question_prompt_def,
                           &parse_question_output_def})
        mod.function(*def);
    clamp_function = mod.function(clamp_def).release().ptr();
    sort_key = mod.make(question_key_def).release().ptr();
}
