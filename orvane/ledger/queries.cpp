// Queries: filtered events newest first, export oldest first, merge.
#include "ledger/ledger.hpp"

#include <algorithm>

namespace orv::ledger {

namespace {

Host builtins_sorted{"builtins", "sorted"}, heapq_nlargest{"heapq", "nlargest"};
Name k_getitem{"__getitem__"};

// e["timestamp"], owned: the event may be changed by host code later.
object timestamp_of(PyObject* ev) {
    if (PyDict_CheckExact(ev)) {
        PyObject* ts = nullptr;
        if (PyDict_GetItemRef(ev, k_timestamp, &ts) < 0) raise_current();
        if (!ts) {
            PyErr_SetObject(PyExc_KeyError, k_timestamp);
            raise_current();
        }
        return nb::steal(ts);
    }
    return own(PyObject_GetItem(ev, k_timestamp));
}

}  // namespace

object ordered(handle events, bool descending, Py_ssize_t limit) {
    const Py_ssize_t n = PyList_GET_SIZE(events.ptr());
    if (n == 0) return nb::list();
    // The keys first, each fetched once, as the host's sort calls its key
    // function once per item.
    object keys = own(PyList_New(n));
    bool texts = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        object ev = nb::borrow(PyList_GET_ITEM(events.ptr(), i));
        object ts = timestamp_of(ev.ptr());
        texts = texts && PyUnicode_CheckExact(ts.ptr());
        PyList_SET_ITEM(keys.ptr(), i, ts.release().ptr());
    }
    const bool bounded = limit > 0 && limit < n;
    nb::list out;
    if (texts) {
        // Exact strs compare natively and consistently; ties by position.
        std::vector<Py_ssize_t> order(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
        PyObject* const* key = &PyList_GET_ITEM(keys.ptr(), 0);
        auto before = [&](Py_ssize_t x, Py_ssize_t y) {
            if (descending ? text_less(key[y], key[x]) : text_less(key[x], key[y])) return true;
            if (descending ? text_less(key[x], key[y]) : text_less(key[y], key[x])) return false;
            return x < y;
        };
        size_t take = order.size();
        if (bounded) {
            take = static_cast<size_t>(limit);
            std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(take),
                              order.end(), before);
        } else {
            std::sort(order.begin(), order.end(), before);
        }
        for (size_t i = 0; i < take; ++i) out.append(handle(PyList_GET_ITEM(events.ptr(), order[i])));
        return out;
    }
    // Anything else is ordered by the host, which survives any comparison:
    // positions sorted by the keys fetched above, stable, as list.sort and
    // heapq.nlargest order them.
    object positions = own(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyRange_Type),
                                               nb::int_(n).ptr()));
    object key = getattr(keys, k_getitem);
    object picked = bounded ? heapq_nlargest(limit, positions, nb::arg("key") = key)
                            : builtins_sorted(positions, nb::arg("key") = key,
                                              nb::arg("reverse") = descending);
    // A replaced sort or selection may answer anything: each position is
    // taken as `events[position]` takes it, with the host's IndexError or
    // TypeError for one that is out of range or not an index.
    for (handle at : nb::iter(picked)) out.append(own(PyObject_GetItem(events.ptr(), at.ptr())));
    return out;
}

// ------------------------------------------------------------ order index

void Order::add(PyObject* event) {
    PyObject* ts = nullptr;
    if (PyDict_CheckExact(event) && PyDict_GetItemRef(event, k_timestamp, &ts) < 0) PyErr_Clear();
    object stamp = nb::steal(ts);
    if (!stamp.is_valid() || !PyUnicode_CheckExact(stamp.ptr())) {
        valid = false;
        stamp = nb::none();
    }
    by_time.push_back(static_cast<uint32_t>(stamps.size()));
    stamps.push_back(std::move(stamp));
}

namespace {

// Merges the adjacent sorted ranges [first, middle) and [middle, last) in
// place, stably. Only the overlap moves: the head of the first range that
// precedes the second one's first entry, and the tail of the second range
// that follows the first one's last entry, are already in place (appends
// out of order overlap the rest of the history only a little).
template <typename It, typename Less>
void merge_runs(It first, It middle, It last, Less less) {
    if (first == middle || middle == last || !less(*middle, *(middle - 1))) return;
    first = std::upper_bound(first, middle, *middle, less);
    last = std::lower_bound(middle, last, *(middle - 1), less);
    std::inplace_merge(first, middle, last, less);
}

}  // namespace

void Order::finish() {
    if (!valid) return;
    auto stamp = [&](uint32_t at) { return stamps[at].ptr(); };
    auto earlier = [&](uint32_t x, uint32_t y) { return text_less(stamp(x), stamp(y)); };
    // A few new entries (an append or two): each goes after every entry of
    // an earlier or equal timestamp, which keeps position order among equals.
    if (by_time.size() - placed <= 64) {
        for (; placed < by_time.size(); ++placed) {
            const uint32_t at = by_time[placed];
            if (placed == 0 || !earlier(at, by_time[placed - 1])) continue;
            const auto end = by_time.begin() + static_cast<std::ptrdiff_t>(placed);
            auto to = std::upper_bound(by_time.begin(), end, at, earlier);
            std::move_backward(to, end, end + 1);
            *to = at;
        }
        return;
    }
    // Many new entries: the runs already in order (appends are mostly newest
    // last), merged pairwise, then with what was placed before. Stable merges
    // keep equal timestamps in position order.
    const auto begin = by_time.begin();
    std::vector<size_t> runs{placed};
    for (size_t i = placed + 1; i < by_time.size(); ++i)
        if (earlier(by_time[i], by_time[i - 1])) runs.push_back(i);
    runs.push_back(by_time.size());
    auto at = [&](size_t i) { return begin + static_cast<std::ptrdiff_t>(i); };
    while (runs.size() > 2) {
        std::vector<size_t> merged{runs[0]};
        for (size_t r = 0; r + 2 < runs.size(); r += 2) {
            merge_runs(at(runs[r]), at(runs[r + 1]), at(runs[r + 2]), earlier);
            merged.push_back(runs[r + 2]);
        }
        if (runs.size() % 2 == 0) merged.push_back(runs.back());
        runs.swap(merged);
    }
    merge_runs(begin, at(placed), by_time.end(), earlier);
    placed = by_time.size();
}

const Order* index_of(const Loaded& loaded) {
    return loaded.state && loaded.state->events.is(loaded.list) ? loaded.state->index() : nullptr;
}

namespace {

// The events of `list` newest first, equal timestamps in file order, the
// first `limit` of them (all when limit <= 0): groups of equal timestamps
// from the newest end, each in position order.
object newest(const Order& order, handle list, Py_ssize_t limit) {
    const size_t n = order.size();
    const size_t want = limit > 0 && static_cast<size_t>(limit) < n ? static_cast<size_t>(limit) : n;
    nb::list out;
    const std::vector<uint32_t>& by = order.by_time;
    auto stamp = [&](uint32_t at) { return order.stamps[at].ptr(); };
    size_t i = n;
    while (static_cast<size_t>(PyList_GET_SIZE(out.ptr())) < want && i > 0) {
        PyObject* ts = stamp(by[i - 1]);
        size_t j = i - 1;
        if (want < n) {
            j = static_cast<size_t>(
                std::lower_bound(by.begin(), by.begin() + static_cast<std::ptrdiff_t>(i), ts,
                                 [&](uint32_t at, PyObject* t) { return text_less(stamp(at), t); }) -
                by.begin());
        } else {
            // by_time is sorted: an entry before this one that is not
            // earlier has the same timestamp.
            while (j > 0 && !text_less(stamp(by[j - 1]), ts)) --j;
        }
        for (size_t t = j; t < i && static_cast<size_t>(PyList_GET_SIZE(out.ptr())) < want; ++t)
            must(PyList_Append(out.ptr(), PyList_GET_ITEM(list.ptr(), by[t])));
        i = j;
    }
    return out;
}

// The events of `list` whose timestamp is at or after `since`, oldest first.
object oldest_since(const Order& order, handle list, PyObject* since) {
    const std::vector<uint32_t>& by = order.by_time;
    auto from = std::lower_bound(by.begin(), by.end(), since, [&](uint32_t at, PyObject* t) {
        return text_less(order.stamps[at].ptr(), t);
    });
    nb::list out;
    for (auto it = from; it != by.end(); ++it)
        must(PyList_Append(out.ptr(), PyList_GET_ITEM(list.ptr(), *it)));
    return out;
}

// ev.get(key, dflt) compared with `value` by `op`.
bool keeps(PyObject* ev, PyObject* key, PyObject* value, int op, handle dflt) {
    object field = get(ev, key, dflt);
    int r = PyObject_RichCompareBool(field.ptr(), value, op);
    must(r);
    return r == 1;
}

ORV_FUNCTION(events,
             "events(self, event_type: str | None = None, source: str | None = None, "
             "target: str | None = None, since: str | None = None, limit: int = 0, "
             "min_generation: int | None = None, max_depth: int | None = None) -> list",
             "Filtered events, most recent first.") {
    auto& [self, event_type, source, target, since, limit, min_gen, max_dep] = args;
    int overflow = 0;
    long long lim = PyLong_AsLongLongAndOverflow(limit, &overflow);
    if (overflow > 0) lim = PY_SSIZE_T_MAX;
    if (overflow < 0) lim = 0;
    const bool filtered = event_type != Py_None || source != Py_None || target != Py_None ||
                          since != Py_None || min_gen != Py_None || max_dep != Py_None;
    Loaded loaded = events_of(self);
    const Order* order = index_of(loaded);
    if (order && !filtered) return newest(*order, loaded.list, static_cast<Py_ssize_t>(lim));
    // Filters compare with the host's rules, over a private list: in index
    // order when there is an index (then the first `limit` matches are the
    // answer), else in file order, sorted afterwards.
    object all = order ? newest(*order, loaded.list, 0) : private_list(loaded);
    object none = nb::none(), zero = nb::int_(0);
    nb::list kept;
    const Py_ssize_t n = PyList_GET_SIZE(all.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (order && lim > 0 && PyList_GET_SIZE(kept.ptr()) >= lim) break;
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);  // held by our private list
        if (event_type != Py_None && !keeps(ev, k_type, event_type, Py_EQ, none)) continue;
        if (source != Py_None && !keeps(ev, k_source, source, Py_EQ, none)) continue;
        if (target != Py_None && !keeps(ev, k_target, target, Py_EQ, none)) continue;
        if (since != Py_None && !keeps(ev, k_timestamp, since, Py_GE, none)) continue;
        if (min_gen != Py_None && !keeps(ev, k_generation, min_gen, Py_GE, zero)) continue;
        if (max_dep != Py_None && !keeps(ev, k_depth, max_dep, Py_LE, zero)) continue;
        kept.append(handle(ev));
    }
    if (order) return kept;
    return ordered(kept, true, static_cast<Py_ssize_t>(lim));
}

ORV_FUNCTION(export_since, "export_since(self, timestamp: str) -> list",
             "Events at or after `timestamp`, oldest first.") {
    auto& [self, timestamp] = args;
    Loaded loaded = events_of(self);
    if (const Order* order = index_of(loaded)) return oldest_since(*order, loaded.list, timestamp);
    object all = private_list(loaded);
    nb::list kept;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);  // held by our private list
        object ts = own(PyObject_GetItem(ev, k_timestamp));
        int r = PyObject_RichCompareBool(ts.ptr(), timestamp, Py_GE);
        must(r);
        if (r) kept.append(handle(ev));
    }
    return ordered(kept, false, 0);
}

ORV_FUNCTION(merge, "merge(self, other: Ledger) -> int",
             "Append the events of another ledger that this one lacks; return how many.") {
    auto& [self_arg, other_arg] = args;
    handle self(self_arg), other(other_arg);
    nb::set ids;
    object mine = own(PyObject_CallMethodNoArgs(self.ptr(), k_load_all));
    for (handle ev : nb::iter(mine)) ids.add(own(PyObject_GetItem(ev.ptr(), k_id)));
    object theirs = own(PyObject_CallMethodNoArgs(other.ptr(), k_load_all));
    long long added = 0;
    for (handle item : nb::iter(theirs)) {
        object ev = nb::borrow(item);
        object id = own(PyObject_GetItem(ev.ptr(), k_id));
        if (ids.contains(id)) continue;
        call_method(self, k_append, ev);
        ids.add(id);
        ++added;
    }
    return nb::int_(added);
}

}  // namespace

void add_query_methods(ClassBuilder& cls) {
    cls.method(events_def).method(merge_def).method(export_since_def);
}

}  // namespace orv::ledger
