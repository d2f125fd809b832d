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
        return std::move(out);
    }
    // Anything else is ordered by the host, which survives any comparison:
    // positions sorted by the keys fetched above, stable, as the Part's
    // sort and heap selection order them.
    object positions = own(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyRange_Type),
                                               nb::int_(n).ptr()));
    object key = getattr(keys, k_getitem);
    object picked = bounded ? heapq_nlargest(limit, positions, nb::arg("key") = key)
                            : builtins_sorted(positions, nb::arg("key") = key,
                                              nb::arg("reverse") = descending);
    for (handle at : nb::iter(picked)) {
        const Py_ssize_t i = PyLong_AsSsize_t(at.ptr());
        if (i == -1 && PyErr_Occurred()) raise_current();
        out.append(handle(PyList_GET_ITEM(events.ptr(), i)));
    }
    return std::move(out);
}

namespace {

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
    object all = private_list(events_of(self));
    object none = nb::none(), zero = nb::int_(0);
    nb::list kept;
    const Py_ssize_t n = PyList_GET_SIZE(all.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* ev = PyList_GET_ITEM(all.ptr(), i);  // held by our private list
        if (event_type != Py_None && !keeps(ev, k_type, event_type, Py_EQ, none)) continue;
        if (source != Py_None && !keeps(ev, k_source, source, Py_EQ, none)) continue;
        if (target != Py_None && !keeps(ev, k_target, target, Py_EQ, none)) continue;
        if (since != Py_None && !keeps(ev, k_timestamp, since, Py_GE, none)) continue;
        if (min_gen != Py_None && !keeps(ev, k_generation, min_gen, Py_GE, zero)) continue;
        if (max_dep != Py_None && !keeps(ev, k_depth, max_dep, Py_LE, zero)) continue;
        kept.append(handle(ev));
    }
    int overflow = 0;
    long long lim = PyLong_AsLongLongAndOverflow(limit, &overflow);
    if (overflow > 0) lim = PY_SSIZE_T_MAX;
    if (overflow < 0) lim = 0;
    return ordered(kept, true, static_cast<Py_ssize_t>(lim));
}

ORV_FUNCTION(export_since, "export_since(self, timestamp: str) -> list",
             "Events at or after `timestamp`, oldest first.") {
    auto& [self, timestamp] = args;
    object all = private_list(events_of(self));
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
