// Argument binding, conversions and return checks for every orvane module.
#include "support/core.hpp"

#include <cstdarg>
#include <string>

namespace orv {

void raise(PyObject* type, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    raise_current();
}

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) raise_current();
    return o;  // immortal for our purposes: never released
}

Signature::Signature(const char* func, std::initializer_list<const char*> names, int positional,
                     int required)
    : func_(func), names_(names), positional_(positional), required_(required) {}

// CPython's wording for missing arguments: 'a', 'a' and 'b', 'a', 'b', and 'c'.
void Signature::missing(PyObject** out, int from, int to, bool kwonly) {
    std::vector<const char*> absent;
    for (int i = from; i < to; ++i)
        if (!out[i]) absent.push_back(names_[i]);
    std::string list;
    for (size_t i = 0; i < absent.size(); ++i) {
        if (i) list += absent.size() > 2 ? ", " : " ";
        if (i && i + 1 == absent.size()) list += "and ";
        list += "'";
        list += absent[i];
        list += "'";
    }
    raise(PyExc_TypeError, "%s() missing %zu required %s argument%s: %s", func_, absent.size(),
          kwonly ? "keyword-only" : "positional", absent.size() == 1 ? "" : "s", list.c_str());
}

void Signature::bind(const Args& call, PyObject** out) {
    const int n = size();
    if (interned_.empty())
        for (const char* name : names_) interned_.push_back(intern(name));
    for (int i = 0; i < n; ++i) out[i] = nullptr;

    if (call.nargs > positional_) {
        if (required_ >= positional_)
            raise(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", func_,
                  positional_, positional_ == 1 ? "" : "s", call.nargs,
                  call.nargs == 1 ? "was" : "were");
        raise(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given",
              func_, required_, positional_, call.nargs, call.nargs == 1 ? "was" : "were");
    }
    for (Py_ssize_t i = 0; i < call.nargs; ++i) out[i] = call.args[i];

    if (call.kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(call.kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(call.kwnames, k);
            int slot = -1;
            for (int i = 0; i < n && slot < 0; ++i)
                if (key == interned_[i]) slot = i;
            for (int i = 0; i < n && slot < 0; ++i) {
                int eq = PyUnicode_Compare(key, interned_[i]);
                if (eq == -1 && PyErr_Occurred()) raise_current();
                if (eq == 0) slot = i;
            }
            if (slot < 0)
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_, key);
            if (out[slot])
                raise(PyExc_TypeError, "%s() got multiple values for argument '%s'", func_,
                      names_[slot]);
            out[slot] = call.args[call.nargs + k];
        }
    }

    const int positional_required = required_ < positional_ ? required_ : positional_;
    for (int i = 0; i < positional_required; ++i)
        if (!out[i]) missing(out, 0, positional_required, false);
    for (int i = positional_; i < required_; ++i)
        if (!out[i]) missing(out, positional_, required_, true);
}

void expect(PyObject* value, PyTypeObject* type, const char* param, bool optional) {
    if (Py_IS_TYPE(value, type) || (optional && value == Py_None)) return;
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          param, type->tp_name, type_name(value));
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
    static PyObject* const name = intern("get");
    PyObject* args[] = {map.ptr(), key, dflt.ptr()};
    return own(PyObject_VectorcallMethod(name, args, 3, nullptr));
}

}  // namespace orv
