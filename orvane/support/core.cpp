// Errors, conversions, return checks and the table of interned names.
#include "support/core.hpp"

#include <cstdarg>

namespace orv {

namespace {
Name k_get{"get"};
}  // namespace

void raise(PyObject* type, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    raise_current();
}

void Name::intern_all() {
    for (Name* n = list_; n; n = n->next_) {
        if (n->obj_) continue;
        PyObject* o = PyUnicode_InternFromString(n->text_);
        if (!o) raise_current();
        n->obj_ = o;  // kept for the process
    }
}

void call_quietly(handle target, PyObject* method) noexcept {
    PyObject* saved = PyErr_GetRaisedException();
    if (PyObject* result = PyObject_CallMethodNoArgs(target.ptr(), method))
        Py_DECREF(result);
    else
        PyErr_Clear();
    PyErr_SetRaisedException(saved);
}

void expect(PyObject* value, PyTypeObject* type, const char* param, bool optional) {
    if (Py_IS_TYPE(value, type) || (optional && value == Py_None)) return;
    wrong_argument(param, type, value);
}

void wrong_argument(const char* param, PyTypeObject* expected, PyObject* value) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          param, expected->tp_name, type_name(value));
}

// A number is anything the host's numeric conversions accept without parsing
// text: it implements __index__, __int__ or __float__.
static bool is_number(PyObject* value) {
    return PyNumber_Check(value) && !PyComplex_Check(value);
}

object to_int(PyObject* value, const char* param) {
    if (PyLong_CheckExact(value)) return nb::borrow(value);
    if (!is_number(value)) expect(value, &PyLong_Type, param);
    return own(PyNumber_Long(value));
}

object to_float(PyObject* value, const char* param) {
    if (PyFloat_CheckExact(value)) return nb::borrow(value);
    if (!is_number(value)) expect(value, &PyFloat_Type, param);
    return own(PyNumber_Float(value));
}

bool truth(PyObject* value) {
    int t = PyObject_IsTrue(value);
    must(t);
    return t == 1;
}

object returning(object value, PyTypeObject* type) {
    if (value.is_none() || Py_IS_TYPE(value.ptr(), type)) return value;
    raise(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, type_name(value.ptr()));
}

object get(handle map, PyObject* key, handle dflt) {
    if (PyDict_CheckExact(map.ptr())) {
        PyObject* v = PyDict_GetItemWithError(map.ptr(), key);
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) raise_current();
        return nb::borrow(dflt);
    }
    PyObject* args[] = {map.ptr(), key, dflt.ptr()};
    return own(PyObject_VectorcallMethod(k_get, args, 3, nullptr));
}

}  // namespace orv
