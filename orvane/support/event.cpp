// Event validation: the rules in their order, the first failure decides.
#include "support/event.hpp"
#include "support/names.hpp"

namespace orv::event {

namespace {

// The field's value, owned (the checks below run host code that may change
// the event), or an invalid object when the event lacks it. Exact dicts are
// read directly; subclasses through their own `in` and `[]`.
object field(PyObject* ev, PyObject* name) {
    if (PyDict_CheckExact(ev)) {
        PyObject* v = nullptr;
        if (PyDict_GetItemRef(ev, name, &v) < 0) raise_current();
        return nb::steal(v);
    }
    int present = PySequence_Contains(ev, name);
    must(present);
    if (!present) return object();
    return own(PyObject_GetItem(ev, name));
}

bool negative(PyObject* v) {
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        return overflow ? overflow < 0 : x < 0;
    }
    object zero = own(PyLong_FromLong(0));
    int lt = PyObject_RichCompareBool(v, zero.ptr(), Py_LT);
    must(lt);
    return lt == 1;
}

}  // namespace

Rules::Rules(handle required_fields, handle registry) : registry_(nb::borrow(registry)) {
    // A list of fresh (name, type) tuples: ours to read while host code runs.
    object items = own(PyMapping_Items(required_fields.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
            raise(PyExc_TypeError, "items() of the required fields must give pairs");
        fields_.emplace_back(nb::borrow(PyTuple_GET_ITEM(pair, 0)),
                             nb::borrow(PyTuple_GET_ITEM(pair, 1)));
    }
}

bool Rules::check_or_raise(PyObject* ev) const {
    if (!PyDict_Check(ev)) return false;
    for (const auto& [name, type] : fields_) {
        object v = field(ev, name.ptr());
        if (!v.is_valid()) return false;
        if (!Py_IS_TYPE(v.ptr(), reinterpret_cast<PyTypeObject*>(type.ptr()))) {
            int ok = PyObject_IsInstance(v.ptr(), type.ptr());
            must(ok);
            if (!ok) return false;
        }
    }
    object type = field(ev, k_type);
    if (!type.is_valid()) return false;
    int registered = PySequence_Contains(registry_.ptr(), type.ptr());
    must(registered);
    if (!registered) return false;
    for (PyObject* key : {k_generation.ptr(), k_depth.ptr()}) {
        object v = field(ev, key);
        if (!v.is_valid() || negative(v.ptr())) return false;
    }
    for (PyObject* key : {k_target.ptr(), k_parent_id.ptr()}) {
        object v = field(ev, key);
        if (v.is_valid() && !v.is_none() && !PyUnicode_Check(v.ptr())) return false;
    }
    return true;
}

bool Rules::check(PyObject* ev) const noexcept {
    try {
        return check_or_raise(ev);
    } catch (nb::python_error&) {
        return false;  // the python_error took the pending exception with it
    } catch (...) {
        PyErr_Clear();
        return false;
    }
}

}  // namespace orv::event
