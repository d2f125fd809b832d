// Event validation: the rules in their order, the first failure decides.
#include "support/event.hpp"

namespace orv::event {

namespace {

// The field's value (borrowed), or nullptr when the event lacks it. Exact
// dicts are read directly; subclasses through their own `in` and `[]`.
PyObject* field(PyObject* ev, PyObject* name, object& hold) {
    if (PyDict_CheckExact(ev)) {
        PyObject* v = PyDict_GetItemWithError(ev, name);
        if (!v && PyErr_Occurred()) raise_current();
        return v;
    }
    int present = PySequence_Contains(ev, name);
    must(present);
    if (!present) return nullptr;
    hold = own(PyObject_GetItem(ev, name));
    return hold.ptr();
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
    object items = own(PyMapping_Items(required_fields.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
        fields_.emplace_back(nb::borrow(PyTuple_GET_ITEM(pair, 0)),
                             nb::borrow(PyTuple_GET_ITEM(pair, 1)));
    }
}

bool Rules::check_or_raise(PyObject* ev) const {
    static PyObject* const k_type = intern("type");
    static PyObject* const k_generation = intern("generation");
    static PyObject* const k_depth = intern("depth");
    static PyObject* const k_target = intern("target");
    static PyObject* const k_parent_id = intern("parent_id");

    if (!PyDict_Check(ev)) return false;
    object hold;
    for (const auto& [name, type] : fields_) {
        PyObject* v = field(ev, name.ptr(), hold);
        if (!v) return false;
        if (!Py_IS_TYPE(v, reinterpret_cast<PyTypeObject*>(type.ptr()))) {
            int ok = PyObject_IsInstance(v, type.ptr());
            must(ok);
            if (!ok) return false;
        }
    }
    PyObject* type = field(ev, k_type, hold);
    if (!type) return false;
    int registered = PySequence_Contains(registry_.ptr(), type);
    must(registered);
    if (!registered) return false;
    for (PyObject* key : {k_generation, k_depth}) {
        PyObject* v = field(ev, key, hold);
        if (!v || negative(v)) return false;
    }
    for (PyObject* key : {k_target, k_parent_id}) {
        PyObject* v = field(ev, key, hold);
        if (v && v != Py_None && !PyUnicode_Check(v)) return false;
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
