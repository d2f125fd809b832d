// The statistics: one pass over the events in file order, every host rule
// applied, and the methods that choose between it and the digest.
#include "ledger/ledger.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orv::ledger {

Host builtins_round{"builtins", "round"};

namespace {

Name kFindingsCount{"findings_count"}, kActionsExecuted{"actions_executed"},
    kActionsVerified{"actions_verified"}, kCostUsd{"cost_usd"}, kDurationSecs{"duration_secs"},
    kCycleCount{"cycle_count"}, kRuns{"runs"}, kFindingTypes{"finding_types"},
    kAvgSeverity{"avg_severity"}, kResolutionRate{"resolution_rate"},
    kConsecutiveProductive{"consecutive_productive"}, kConsecutiveEmpty{"consecutive_empty"},
    kTotalPopulation{"total_population"}, kGenerationDistribution{"generation_distribution"},
    kMostProductive{"most_productive"}, kLeastProductive{"least_productive"},
    kCoverageMatrix{"coverage_matrix"};

// The event's kind; a type that is not an exact str is compared by the
// host's ==, name by name.
Kind kind_of(PyObject* ev) {
    object type = get(ev, k_type, nb::none());
    if (PyUnicode_CheckExact(type.ptr())) return kind_of_text(type.ptr());
    for (int i = 0; i < kOther; ++i)
        if (equal(type, kKindNames[i]->h())) return static_cast<Kind>(i);
    return kOther;
}

// The payload of an event; a missing one reads as an empty map.
object payload_of(PyObject* ev) {
    object p = get(ev, k_payload, nb::none());
    return p.is_none() ? object(nb::dict()) : p;
}

// float(v) as the host converts it.
double to_double(PyObject* v) {
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    object f = own(PyNumber_Float(v));
    return PyFloat_AS_DOUBLE(f.ptr());
}

void count_into(handle counts, handle key) {
    PyObject* now = nullptr;
    if (PyDict_GetItemRef(counts.ptr(), key.ptr(), &now) < 0) raise_current();
    object held = nb::steal(now);
    object next = now ? own(PyNumber_Add(now, nb::int_(1).ptr())) : object(nb::int_(1));
    set_item(counts, key.ptr(), next);
}

// a < b by the host's rules; exact strs natively.
bool less(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return text_less(a, b);
    int r = PyObject_RichCompareBool(a, b, Py_LT);
    must(r);
    return r == 1;
}

// sum(values) of floats as the host's built-in computes it: 0 + the first,
// then Neumaier's compensated summation, the compensation added last unless
// it is zero or not finite.
double host_sum(const std::vector<double>& values) {
    if (values.empty()) return 0.0;
    double total = 0.0 + values[0], c = 0.0;
    for (size_t i = 1; i < values.size(); ++i) {
        const double x = values[i], t = total + x;
        c += std::fabs(total) >= std::fabs(x) ? (total - t) + x : (x - t) + total;
        total = t;
    }
    if (c != 0.0 && std::isfinite(c)) total += c;
    return total;
}

}  // namespace

// ------------------------------------------------------------------ records

Kind kind_of_text(PyObject* type) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(type);
    for (int i = 0; i < kOther; ++i) {
        PyObject* name = *kKindNames[i];
        if (type == name) return static_cast<Kind>(i);
        if (PyUnicode_GET_LENGTH(name) == length && PyUnicode_KIND(type) == PyUnicode_1BYTE_KIND &&
            std::memcmp(PyUnicode_1BYTE_DATA(type), PyUnicode_1BYTE_DATA(name),
                        static_cast<size_t>(length)) == 0)
            return static_cast<Kind>(i);
    }
    return kOther;
}

nb::dict empty_record() {
    nb::dict r;
    set_item(r, kRuns, nb::int_(0));
    set_item(r, kFindingsCount, nb::int_(0));
    set_item(r, kFindingTypes, nb::dict());
    set_item(r, kAvgSeverity, nb::float_(0.0));
    set_item(r, kResolutionRate, nb::float_(0.0));
    set_item(r, kConsecutiveProductive, nb::int_(0));
    set_item(r, kConsecutiveEmpty, nb::int_(0));
    return r;
}

nb::dict question_record(const QuestionFacts& f) {
    if (f.findings == 0 && f.runs == 0) return empty_record();
    // The runs of productive or empty findings at the newest end.
    long long productive = 0, empty = 0;
    for (auto it = f.empties.rbegin(); it != f.empties.rend(); ++it) {
        if (*it) {
            if (productive) break;
            ++empty;
        } else {
            if (empty) break;
            ++productive;
        }
    }
    const long long runs = f.findings > 0 ? std::max(f.runs, 1LL) : f.runs;
    const double avg =
        f.severities.empty() ? 0.0 : host_sum(f.severities) / static_cast<double>(f.severities.size());
    const double rate = runs ? static_cast<double>(f.verified) / static_cast<double>(runs) : 0.0;
    nb::dict r;
    set_item(r, kRuns, nb::int_(runs));
    set_item(r, kFindingsCount, nb::int_(f.findings));
    set_item(r, kFindingTypes, f.types);
    set_item(r, kAvgSeverity, nb::float_(avg));
    set_item(r, kResolutionRate, nb::float_(rate));
    set_item(r, kConsecutiveProductive, nb::int_(productive));
    set_item(r, kConsecutiveEmpty, nb::int_(empty));
    return r;
}

nb::dict population_record(size_t population, handle generations, handle most, handle least,
                           handle coverage) {
    nb::dict r;
    set_item(r, kTotalPopulation, nb::int_(population));
    set_item(r, kGenerationDistribution, generations);
    set_item(r, kMostProductive, most);
    set_item(r, kLeastProductive, least);
    set_item(r, kCoverageMatrix, coverage);
    return r;
}

const CycleKeys& cycle_keys() {
    // Made on first use, after the names are interned; never destroyed, as a
    // static destructor would run after the interpreter has finalised.
    static const CycleKeys* keys = new CycleKeys{
        {kFindingsCount, kActionsExecuted, kActionsVerified, kCostUsd, kDurationSecs},
        kCycleCount,
        {nb::int_(0), nb::int_(0), nb::int_(0), nb::float_(0.0), nb::float_(0.0)}};
    return *keys;
}

void round_bucket(handle bucket, handle round) {
    const CycleKeys& c = cycle_keys();
    for (int f : {3, 4}) {
        PyObject* total = nullptr;
        if (PyDict_GetItemRef(bucket.ptr(), c.names[f], &total) < 0) raise_current();
        object held = nb::steal(total);
        set_item(bucket, c.names[f], round(held, f == 3 ? 4 : 2));
    }
}

// ------------------------------------------- straight over a private list

namespace {

// Every host rule applied, over a private list of events.

nb::dict all_question_stats_of(handle all, handle names) {
    object filter = names.is_none() ? nb::none() : own(PySet_New(names.ptr()));
    nb::dict index;  // question -> position in `facts`, in order of first tally
    std::vector<QuestionFacts> facts;
    std::vector<nb::list> findings;
    auto tally = [&](handle q) -> size_t {
        PyObject* at = nullptr;
        if (PyDict_GetItemRef(index.ptr(), q.ptr(), &at) < 0) raise_current();
        if (at) {
            object held = nb::steal(at);
            return PyLong_AsSize_t(at);
        }
        set_item(index, q.ptr(), nb::int_(facts.size()));
        facts.emplace_back();
        findings.emplace_back();
        return facts.size() - 1;
    };
    object no = nb::bool_(false), none = nb::none(), unknown = nb::borrow(k_unknown.ptr());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);  // held by the private list
        object p = payload_of(ev);
        object q = get(p, k_question, none);
        if (!truth(q.ptr())) continue;
        if (!filter.is_none()) {
            int in = PySet_Contains(filter.ptr(), q.ptr());
            must(in);
            if (!in) continue;
        }
        switch (kind_of(ev)) {
            case kSelection: {
                const size_t at = tally(q);
                ++facts[at].runs;
                break;
            }
            case kFinding: {
                const size_t at = tally(q);
                findings[at].append(handle(ev));
                break;
            }
            case kVerify:
                if (truth(get(p, k_resolved, no).ptr())) {
                    const size_t at = tally(q);
                    ++facts[at].verified;
                }
                break;
            default: break;
        }
    }
    for (size_t at = 0; at < facts.size(); ++at) {
        nb::list sorted = nb::borrow<nb::list>(ordered(findings[at], false, 0));
        QuestionFacts& f = facts[at];  // `facts` no longer grows
        f.findings = static_cast<long long>(PyList_GET_SIZE(sorted.ptr()));
        for (handle ev : sorted) {
            object p = payload_of(ev.ptr());
            count_into(f.types, get(p, k_finding_type, unknown));
            object sev = get(p, k_severity, none);
            if (!sev.is_none()) f.severities.push_back(to_double(sev.ptr()));
            f.empties.push_back(truth(get(p, k_empty_name, no).ptr()));
        }
    }
    nb::dict out;
    auto report = [&](handle name) {
        PyObject* at = nullptr;
        if (PyDict_GetItemRef(index.ptr(), name.ptr(), &at) < 0) raise_current();
        object held = nb::steal(at);
        object record = at ? object(question_record(facts[PyLong_AsSize_t(at)])) : object(empty_record());
        set_item(out, name.ptr(), record);
    };
    if (filter.is_none()) {
        object names_seen = own(PyDict_Keys(index.ptr()));
        for (handle name : nb::iter(names_seen)) report(name);
    } else {
        for (handle name : nb::iter(names)) {
            int seen = PyDict_Contains(out.ptr(), name.ptr());
            must(seen);
            if (!seen) report(name);
        }
    }
    return out;
}

nb::dict population_stats_of(handle all) {
    nb::set names;
    nb::dict generations;
    nb::dict counts;   // question -> findings, in order of first finding
    nb::dict targets;  // question -> set of targets, in order of first target
    object none = nb::none();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);  // held by the private list
        const Kind kind = kind_of(ev);
        if (kind != kForge && kind != kFinding) continue;
        object q = get(payload_of(ev), k_question, none);
        if (!truth(q.ptr())) continue;
        names.add(q);
        if (kind == kForge) {
            count_into(generations, own(PyObject_GetItem(ev, k_generation)));
            continue;
        }
        count_into(counts, q);
        object target = get(ev, k_target, none);
        if (!truth(target.ptr())) continue;
        PyObject* seen = nullptr;
        if (PyDict_GetItemRef(targets.ptr(), q.ptr(), &seen) < 0) raise_current();
        object set = seen ? nb::steal(seen) : own(PySet_New(nullptr));
        if (!seen) set_item(targets, q.ptr(), set);
        must(PySet_Add(set.ptr(), target.ptr()));
    }
    object most = none, least = none, most_n, least_n;
    object ranked = own(PyDict_Items(counts.ptr()));
    for (handle item : nb::iter(ranked)) {
        object q = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
        object n = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
        if (most.is_none() || less(most_n.ptr(), n.ptr())) {
            most = q;
            most_n = n;
        }
        if (least.is_none() || less(n.ptr(), least_n.ptr())) {
            least = q;
            least_n = n;
        }
    }
    nb::dict coverage;
    object covered = own(PyDict_Items(targets.ptr()));
    for (handle item : nb::iter(covered)) {
        object sorted = own(PySequence_List(PyTuple_GET_ITEM(item.ptr(), 1)));
        must(PyList_Sort(sorted.ptr()));
        set_item(coverage, PyTuple_GET_ITEM(item.ptr(), 0), sorted);
    }
    return population_record(names.size(), generations, most, least, coverage);
}

nb::dict triage_effectiveness_of(handle all) {
    const CycleKeys& c = cycle_keys();
    nb::dict buckets;
    object unknown = nb::borrow(k_unknown.ptr()), one = nb::int_(1);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);  // held by the private list
        if (kind_of(ev) != kCycle) continue;
        object p = payload_of(ev);
        object mode = get(p, k_execution_mode, unknown);
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(buckets.ptr(), mode.ptr(), &found) < 0) raise_current();
        object bucket = nb::steal(found);
        if (!found) {
            bucket = own(PyDict_New());
            for (int f = 0; f < 5; ++f) set_item(bucket, c.names[f], c.defaults[f]);
            set_item(bucket, c.count, nb::int_(0));
            set_item(buckets, mode.ptr(), bucket);
        }
        // The bucket is ours alone: its keys are our interned strs.
        for (int f = 0; f < 5; ++f) {
            object add = get(p, c.names[f], c.defaults[f]);
            object sum = own(PyNumber_Add(PyDict_GetItem(bucket.ptr(), c.names[f]), add.ptr()));
            set_item(bucket, c.names[f], sum);
        }
        object cycles = own(PyNumber_Add(PyDict_GetItem(bucket.ptr(), c.count), one.ptr()));
        set_item(bucket, c.count, cycles);
    }
    object round = builtins_round.get();
    object all_buckets = own(PyDict_Values(buckets.ptr()));
    for (handle bucket : nb::iter(all_buckets)) round_bucket(bucket, round);
    return buckets;
}

// ------------------------------------------------------------------ methods

ORV_FUNCTION(all_question_stats,
             "all_question_stats(self, question_names: list[str] | None = None) -> dict",
             "Productivity statistics per question, in one pass.") {
    auto& [self, names] = args;
    Loaded loaded = events_of(self);
    nb::dict out;
    if (loaded.state && digest_question_stats(loaded.state, handle(names), out))
        return out;
    return all_question_stats_of(private_list(loaded), handle(names));
}

ORV_FUNCTION(question_stats, "question_stats(self, question_name: str) -> dict",
             "Productivity statistics of one question.") {
    auto& [self, question_name] = args;
    nb::list names;
    names.append(handle(question_name));
    object all = call_method(self, k_all_question_stats, names);
    return get(all, question_name, empty_record());
}

ORV_FUNCTION(population_stats, "population_stats(self) -> dict",
             "The shape of the question population.") {
    auto& [self] = args;
    Loaded loaded = events_of(self);
    nb::dict out;
    if (loaded.state && digest_population_stats(loaded.state, out)) return out;
    return population_stats_of(private_list(loaded));
}

ORV_FUNCTION(triage_effectiveness, "triage_effectiveness(self) -> dict",
             "Cycle totals per execution mode.") {
    auto& [self] = args;
    Loaded loaded = events_of(self);
    nb::dict out;
    if (loaded.state && digest_triage_effectiveness(loaded.state, out)) return out;
    return triage_effectiveness_of(private_list(loaded));
}

}  // namespace

void add_stats_methods(ClassBuilder& cls) {
    cls.method(question_stats_def)
        .method(all_question_stats_def)
        .method(population_stats_def)
        .method(triage_effectiveness_def);
}

}  // namespace orv::ledger
