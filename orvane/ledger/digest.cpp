// The statistics over a digest of the cached events.
//
// Every statistics call re-reads the whole history, and walking 100,000
// scattered maps is bound by memory latency. So the events of a native load
// get a compact digest, row by row: what each statistic reads, as small ids
// into tables of distinct values and plain numbers. Rows are made during the
// load's own pass, each right after its event is decoded, and incremental
// reads add theirs; findings are taken in time order from the state's order
// index.
//
// The digest reads only values of the host's exact built-in types, whose
// hashing, comparison, truth and conversion run no host code; anything else
// (and anything whose outcome only the host's rules can settle: an
// unhashable question, a severity float() rejects, a total that is no plain
// number) marks the statistics reading it as irregular, and those then run
// straight over the events, errors and all. A digest in use by one call is
// neither extended nor used by another (nested calls go straight), and it
// owns every host value it keeps.
#include "ledger/ledger.hpp"

#include <algorithm>
#include <array>

namespace orv::ledger {

namespace {

// Distinct host values in order of first sight, compared as dict keys are.
class Distinct {
public:
    // The id of `v`, a value whose hash and equality are the host's own.
    int32_t id(handle v) {
        PyObject* at = nullptr;
        if (PyDict_GetItemRef(ids_.ptr(), v.ptr(), &at) < 0) raise_current();
        if (at) {
            object held = nb::steal(at);
            return static_cast<int32_t>(PyLong_AsLong(at));
        }
        set_item(ids_, v.ptr(), nb::int_(values_.size()));
        values_.push_back(nb::borrow(v));
        return static_cast<int32_t>(values_.size() - 1);
    }
    // The id of a value already seen, or -1; `v` may be anything the caller
    // gave, so the lookup may run host code.
    int32_t find(handle v) const {
        PyObject* at = nullptr;
        if (PyDict_GetItemRef(ids_.ptr(), v.ptr(), &at) < 0) raise_current();
        object held = nb::steal(at);
        return at ? static_cast<int32_t>(PyLong_AsLong(at)) : -1;
    }
    size_t size() const { return values_.size(); }
    const object& value(size_t i) const { return values_[i]; }

private:
    nb::dict ids_;
    std::vector<object> values_;
};

// A plain number: int (within 64 bits) or float, added as the host adds.
struct Num {
    bool real = false;
    long long i = 0;
    double d = 0.0;

    static bool from(PyObject* v, Num& out) {
        if (PyFloat_CheckExact(v)) {
            out = Num{true, 0, PyFloat_AS_DOUBLE(v)};
            return true;
        }
        if (PyLong_CheckExact(v) || PyBool_Check(v)) {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            out = Num{false, x, 0.0};
            return !overflow;
        }
        return false;
    }
    // False when an int sum leaves 64 bits: the host's ints would not.
    bool add(const Num& v) {
        if (!real && !v.real) return !__builtin_add_overflow(i, v.i, &i);
        d = (real ? d : static_cast<double>(i)) + (v.real ? v.d : static_cast<double>(v.i));
        real = true;
        return true;
    }
    object value() const { return real ? object(nb::float_(d)) : object(nb::int_(i)); }
};

struct Row {
    Kind kind = kOther;
    bool flag = false;          // FINDING: "empty"; ACTION_VERIFY: "resolved"
    bool has_severity = false;  // FINDING
    int32_t question = -1;      // -1: missing or empty
    int32_t value = -1;         // FINDING: type; FORGE: generation; CYCLE: mode
    int32_t target = -1;        // FINDING: -1 when missing or empty
    int32_t cycle = -1;         // CYCLE: its totals in Digest::cycles
    double severity = 0.0;
};

// Leaves a digest step for a value the host's rules must settle.
struct Irregular {};

// Values of the host's built-in scalar and container types, as JSON gives
// them: their truth, hash and comparison run no host code.
bool builtin(PyObject* v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v) ||
           PyFloat_CheckExact(v) || PyList_CheckExact(v) || PyDict_CheckExact(v);
}

bool plain_truth(PyObject* v) {
    if (!builtin(v)) throw Irregular{};
    return PyObject_IsTrue(v) == 1;  // never fails for these types
}

// map.get(key), owned; `map` is an exact dict and `key` one of our strs.
object lookup(PyObject* map, PyObject* key) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(map, key, &v) < 0) {
        PyErr_Clear();
        throw Irregular{};
    }
    return nb::steal(v);
}

}  // namespace

struct Digest {
    std::vector<Row> rows;
    std::vector<std::array<Num, 5>> cycles;
    Distinct questions, types, generations, modes, targets;
    bool irregular_questions = false, irregular_population = false, irregular_triage = false;
    bool busy = false;  // in use by a call: neither extended nor shared

    // Digests the events that `list` gained since the last call.
    void extend(handle list) {
        for (Py_ssize_t i = static_cast<Py_ssize_t>(rows.size()); i < PyList_GET_SIZE(list.ptr());
             ++i) {
            object ev = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
            add(ev.ptr());
        }
    }

    // One event at the end. Each kind's row reads only the keys its
    // statistics read.
    void add(PyObject* ev) {
        Row row;
        try {
            if (!PyDict_CheckExact(ev)) throw Irregular{};
            object type = lookup(ev, k_type);
            if (!type.is_valid() || !PyUnicode_CheckExact(type.ptr())) throw Irregular{};
            row.kind = kind_of_text(type.ptr());
            object p = lookup(ev, k_payload);
            if (!p.is_valid() || p.is_none()) p = nb::dict();
            if (!PyDict_CheckExact(p.ptr())) throw Irregular{};
            question(lookup(p.ptr(), k_question), row);
            switch (row.kind) {
                case kFinding: finding(ev, p.ptr(), row); break;
                case kVerify:
                    try {
                        object resolved = lookup(p.ptr(), k_resolved);
                        row.flag = resolved.is_valid() && plain_truth(resolved.ptr());
                    } catch (Irregular&) {
                        irregular_questions = true;
                    }
                    break;
                case kForge:
                    try {
                        object generation = lookup(ev, k_generation);
                        if (!generation.is_valid() || !PyLong_CheckExact(generation.ptr()))
                            throw Irregular{};
                        row.value = generations.id(generation);
                    } catch (Irregular&) {
                        irregular_population = true;
                    }
                    break;
                case kCycle: cycle(p.ptr(), row); break;
                default: break;
            }
        } catch (Irregular&) {
            irregular_questions = irregular_population = irregular_triage = true;
        } catch (nb::python_error&) {
            irregular_questions = irregular_population = irregular_triage = true;
        }
        rows.push_back(row);
    }

private:
    // The payload's question: a key of the results, so a str (a table keeps
    // the first of equal keys such as 1, 1.0 and true; the host's dicts keep
    // the first counted).
    void question(const object& q, Row& row) {
        try {
            if (!q.is_valid() || !plain_truth(q.ptr())) return;
            if (!PyUnicode_CheckExact(q.ptr())) throw Irregular{};
            row.question = questions.id(q);
        } catch (Irregular&) {
            // Statistics that look at every event's question must raise.
            irregular_questions = true;
            if (row.kind == kFinding || row.kind == kForge) irregular_population = true;
        }
    }

    void finding(PyObject* ev, PyObject* p, Row& row) {
        try {
            object type = lookup(p, k_finding_type);
            if (!type.is_valid()) type = nb::borrow(k_unknown.ptr());
            if (!PyUnicode_CheckExact(type.ptr()) && !type.is_none()) throw Irregular{};
            row.value = types.id(type);
            object sev = lookup(p, k_severity);
            if (sev.is_valid() && !sev.is_none()) {
                if (PyFloat_CheckExact(sev.ptr())) {
                    row.severity = PyFloat_AS_DOUBLE(sev.ptr());
                } else if (PyLong_CheckExact(sev.ptr()) || PyBool_Check(sev.ptr()) ||
                           PyUnicode_CheckExact(sev.ptr())) {
                    PyObject* real = PyNumber_Float(sev.ptr());
                    if (!real) {
                        PyErr_Clear();
                        throw Irregular{};
                    }
                    row.severity = PyFloat_AS_DOUBLE(real);
                    Py_DECREF(real);
                } else {
                    throw Irregular{};
                }
                row.has_severity = true;
            }
            object empty = lookup(p, k_empty_name);
            row.flag = empty.is_valid() && plain_truth(empty.ptr());
        } catch (Irregular&) {
            irregular_questions = true;
        }
        try {
            object target = lookup(ev, k_target);
            if (target.is_valid() && plain_truth(target.ptr())) {
                if (!PyUnicode_CheckExact(target.ptr())) throw Irregular{};
                row.target = targets.id(target);
            }
        } catch (Irregular&) {
            irregular_population = true;
        }
    }

    void cycle(PyObject* p, Row& row) {
        const CycleKeys& c = cycle_keys();
        try {
            object mode = lookup(p, k_execution_mode);
            if (!mode.is_valid()) mode = nb::borrow(k_unknown.ptr());
            if (!builtin(mode.ptr()) || PyList_CheckExact(mode.ptr()) ||
                PyDict_CheckExact(mode.ptr()))
                throw Irregular{};
            row.value = modes.id(mode);
            std::array<Num, 5> totals;
            for (size_t t = 0; t < 5; ++t) {
                object v = lookup(p, c.names[t]);
                if (!Num::from(v.is_valid() ? v.ptr() : c.defaults[t].ptr(), totals[t]))
                    throw Irregular{};
            }
            row.cycle = static_cast<int32_t>(cycles.size());
            cycles.push_back(totals);
        } catch (Irregular&) {
            irregular_triage = true;
        }
    }
};

DigestPtr new_digest() { return std::make_shared<Digest>(); }
void digest_add(Digest& digest, PyObject* event) { digest.add(event); }
bool digest_busy(const Digest& digest) { return digest.busy; }

namespace {

// Marks a digest in use for the length of a call.
class InUse {
public:
    explicit InUse(Digest& d) : d_(d) { d_.busy = true; }
    ~InUse() { d_.busy = false; }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;

private:
    Digest& d_;
};

// The digest of the state's events, made or extended, pinned; null when the
// state's events were not read natively or the digest is in use.
DigestPtr digest_of(const StatePtr& state) {
    if (!state->native) return nullptr;
    DigestPtr d = state->digest;
    if (d && d->busy) return nullptr;
    // Detached by an incremental read while a call used it, or a list
    // shorter than its digest (changed by someone): made afresh.
    if (!d || d->rows.size() > static_cast<size_t>(PyList_GET_SIZE(state->events.ptr()))) {
        d = new_digest();
        state->digest = d;
    }
    InUse use(*d);
    d->extend(state->events);
    return d;
}

}  // namespace

bool digest_question_stats(const StatePtr& state, handle names, nb::dict& out) {
    DigestPtr pinned = digest_of(state);
    // Findings are counted in time order, which the order index gives; its
    // rows are the digest's, which now covers the whole list.
    const Order* index = state->index();
    if (!pinned || pinned->irregular_questions || !index) return false;
    Digest& d = *pinned;
    InUse use(d);

    // Native passes first: no host code runs while rows are read.
    const size_t nq = d.questions.size();
    std::vector<QuestionFacts> facts(nq);
    std::vector<char> tallied(nq, 0);
    std::vector<int32_t> first_tallied;  // questions in order of their first counted event
    for (const Row& row : d.rows) {
        if (row.question < 0) continue;
        const size_t q = static_cast<size_t>(row.question);
        if (row.kind == kSelection) {
            ++facts[q].runs;
        } else if (row.kind == kVerify && row.flag) {
            ++facts[q].verified;
        } else if (row.kind != kFinding) {
            continue;
        }
        if (!tallied[q]) first_tallied.push_back(row.question);
        tallied[q] = 1;
    }
    std::vector<std::vector<int32_t>> order(nq);  // per question: type ids in first-seen order
    std::vector<std::vector<long long>> type_counts(nq);
    for (uint32_t r : index->by_time) {
        const Row& row = d.rows[r];
        if (row.kind != kFinding || row.question < 0) continue;
        const size_t q = static_cast<size_t>(row.question);
        QuestionFacts& f = facts[q];
        ++f.findings;
        auto& counts = type_counts[q];
        const size_t t = static_cast<size_t>(row.value);
        if (counts.size() <= t) counts.resize(t + 1, 0);
        if (counts[t]++ == 0) order[q].push_back(row.value);
        if (row.has_severity) f.severities.push_back(row.severity);
        f.empties.push_back(row.flag);
    }

    // Then the host objects.
    auto record = [&](size_t q) {
        QuestionFacts& f = facts[q];
        for (int32_t t : order[q])
            set_item(f.types, d.types.value(static_cast<size_t>(t)).ptr(),
                     nb::int_(type_counts[q][static_cast<size_t>(t)]));
        return question_record(f);
    };
    if (names.is_none()) {
        for (int32_t q : first_tallied)
            set_item(out, d.questions.value(static_cast<size_t>(q)).ptr(),
                     record(static_cast<size_t>(q)));
        return true;
    }
    for (handle item : nb::iter(names)) {
        object name = nb::borrow(item);
        int seen = PyDict_Contains(out.ptr(), name.ptr());
        must(seen);
        if (seen) continue;
        const int32_t q = d.questions.find(name);
        object rec = q >= 0 && static_cast<size_t>(q) < nq ? object(record(static_cast<size_t>(q)))
                                                           : object(empty_record());
        set_item(out, name.ptr(), rec);
    }
    return true;
}

bool digest_population_stats(const StatePtr& state, nb::dict& out) {
    DigestPtr pinned = digest_of(state);
    if (!pinned || pinned->irregular_population) return false;
    Digest& d = *pinned;
    InUse use(d);

    const size_t nq = d.questions.size();
    std::vector<char> named(nq, 0);
    std::vector<long long> counts(nq, 0), generation_counts(d.generations.size(), 0);
    std::vector<int32_t> finding_order, generation_order, target_order;
    std::vector<std::vector<int32_t>> targets(nq);
    for (const Row& row : d.rows) {
        if (row.question < 0 || (row.kind != kForge && row.kind != kFinding)) continue;
        const size_t q = static_cast<size_t>(row.question);
        named[q] = 1;
        if (row.kind == kForge) {
            if (generation_counts[static_cast<size_t>(row.value)]++ == 0)
                generation_order.push_back(row.value);
            continue;
        }
        if (counts[q]++ == 0) finding_order.push_back(row.question);
        if (row.target < 0) continue;
        if (targets[q].empty()) target_order.push_back(row.question);
        targets[q].push_back(row.target);
    }
    int32_t most = -1, least = -1;
    for (int32_t q : finding_order) {
        const long long n = counts[static_cast<size_t>(q)];
        if (most < 0 || n > counts[static_cast<size_t>(most)]) most = q;
        if (least < 0 || n < counts[static_cast<size_t>(least)]) least = q;
    }
    for (int32_t q : target_order) {
        std::vector<int32_t>& ids = targets[static_cast<size_t>(q)];
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        std::sort(ids.begin(), ids.end(), [&](int32_t x, int32_t y) {
            return text_less(d.targets.value(static_cast<size_t>(x)).ptr(),
                             d.targets.value(static_cast<size_t>(y)).ptr());
        });
    }
    size_t population = 0;
    for (char n : named) population += n != 0;

    nb::dict generations;
    for (int32_t g : generation_order)
        set_item(generations, d.generations.value(static_cast<size_t>(g)).ptr(),
                 nb::int_(generation_counts[static_cast<size_t>(g)]));
    nb::dict coverage;
    for (int32_t q : target_order) {
        nb::list sorted;
        for (int32_t t : targets[static_cast<size_t>(q)])
            sorted.append(d.targets.value(static_cast<size_t>(t)));
        set_item(coverage, d.questions.value(static_cast<size_t>(q)).ptr(), sorted);
    }
    auto name = [&](int32_t q) {
        return q < 0 ? object(nb::none()) : d.questions.value(static_cast<size_t>(q));
    };
    out = population_record(population, generations, name(most), name(least), coverage);
    return true;
}

bool digest_triage_effectiveness(const StatePtr& state, nb::dict& out) {
    DigestPtr pinned = digest_of(state);
    if (!pinned || pinned->irregular_triage) return false;
    Digest& d = *pinned;
    InUse use(d);

    struct Bucket {
        std::array<Num, 5> totals{Num{}, Num{}, Num{}, Num{true, 0, 0.0}, Num{true, 0, 0.0}};
        long long cycles = 0;
    };
    std::vector<Bucket> buckets(d.modes.size());
    std::vector<int32_t> order;
    for (const Row& row : d.rows) {
        if (row.kind != kCycle || row.cycle < 0) continue;
        Bucket& b = buckets[static_cast<size_t>(row.value)];
        if (b.cycles++ == 0) order.push_back(row.value);
        const auto& add = d.cycles[static_cast<size_t>(row.cycle)];
        for (size_t f = 0; f < 5; ++f)
            if (!b.totals[f].add(add[f])) return false;  // an int total left 64 bits
    }
    const CycleKeys& c = cycle_keys();
    object round = builtins_round.get();
    for (int32_t m : order) {
        const Bucket& b = buckets[static_cast<size_t>(m)];
        nb::dict bucket;
        for (size_t f = 0; f < 5; ++f)
            set_item(bucket, c.names[f], b.totals[f].value());
        set_item(bucket, c.count, nb::int_(b.cycles));
        round_bucket(bucket, round);
        set_item(out, d.modes.value(static_cast<size_t>(m)).ptr(), bucket);
    }
    return true;
}

}  // namespace orv::ledger
