// Errors, conversions and interned names shared by every orvane module.
//
// The rules for arguments are the library's own (exact types, the messages
// users see, integers that truncate); callable.hpp applies them to every
// declared parameter, and module code calls them for values it reads itself.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace orv {

namespace nb = nanobind;
using nb::handle;
using nb::object;

// ---------------------------------------------------------------- errors

// Throws the Python exception that is currently set.
[[noreturn]] inline void raise_current() { throw nb::python_error(); }

// Returns `o` as an owned object, or throws the pending Python error.
inline object own(PyObject* o) {
    if (!o) raise_current();
    return nb::steal(o);
}
inline handle must(PyObject* o) {
    if (!o) raise_current();
    return handle(o);
}
inline void must(int status) {
    if (status < 0) raise_current();
}

// Sets an exception with a printf-style message (PyErr_Format) and throws it.
[[noreturn]] void raise(PyObject* type, const char* fmt, ...);

// target.method() for its effect only, as clean-up does it: what it returns
// or raises is dropped, and the exception in flight, if any, stays the one
// the caller sees (a `with` block closing after a failure).
void call_quietly(handle target, PyObject* method) noexcept;

// ------------------------------------------------------------ conversions

// The parameter must be exactly `type` (or None where `optional`); anything
// else raises wrong_argument's TypeError.
void expect(PyObject* value, PyTypeObject* type, const char* param, bool optional = false);
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
[[noreturn]] void wrong_argument(const char* param, PyTypeObject* expected, PyObject* value);

// Integer parameters: any number, converted with the host's int() (floats
// truncate). Anything that is not a number raises TypeError.
object to_int(PyObject* value, const char* param);
// Float parameters: any number, converted with the host's float().
object to_float(PyObject* value, const char* param);
// Boolean parameters: the truth value of whatever was given.
bool truth(PyObject* value);

// Return checks: a value that is not exactly `type` (None passes) raises
// "Expected %s, got %.200s".
object returning(object value, PyTypeObject* type);

// `key in container`, by the host's rules.
inline bool contains(handle container, handle key) {
    const int r = PySequence_Contains(container.ptr(), key.ptr());
    must(r);
    return r == 1;
}

// Iterates `iterable` as a host `for` loop does, calling `each(item)` with
// an owned reference to each item; errors of the iteration propagate.
template <typename Each>
void for_each(handle iterable, Each&& each) {
    object it = own(PyObject_GetIter(iterable.ptr()));
    while (PyObject* next = PyIter_Next(it.ptr())) each(nb::steal(next));
    if (PyErr_Occurred()) raise_current();
}

// mapping.get(key, default): exact dicts directly, other maps through their
// own `get`. Returns a new reference to the value or to `dflt`.
object get(handle map, PyObject* key, handle dflt);

// dict[key] = value, for a dict of our own.
inline void set_item(handle dict, PyObject* key, handle value) {
    must(PyDict_SetItem(dict.ptr(), key, value.ptr()));
}

// `bool(a <op> b)` by the host's rules, as an `if` in Python code asks it:
// no identity shortcut (NaN == NaN is false), two exact floats compared here.
// A pair the host cannot compare raises its TypeError.
inline bool compare(handle a, handle b, int op) {
    if (PyFloat_CheckExact(a.ptr()) && PyFloat_CheckExact(b.ptr())) {
        const double x = PyFloat_AS_DOUBLE(a.ptr()), y = PyFloat_AS_DOUBLE(b.ptr());
        switch (op) {
            case Py_LT: return x < y;
            case Py_LE: return x <= y;
            case Py_EQ: return x == y;
            case Py_NE: return x != y;
            case Py_GT: return x > y;
            default: return x >= y;
        }
    }
    PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!result) raise_current();
    if (result == Py_True || result == Py_False) {
        const bool yes = result == Py_True;
        Py_DECREF(result);
        return yes;
    }
    const int r = PyObject_IsTrue(result);
    Py_DECREF(result);
    must(r);
    return r == 1;
}
inline bool equal(handle a, handle b) { return compare(a, b, Py_EQ); }

// isinstance(value, type) as the host answers it (__class__ and
// __instancecheck__ included).
inline bool is_instance(handle value, PyTypeObject* type) {
    const int r = PyObject_IsInstance(value.ptr(), reinterpret_cast<PyObject*>(type));
    must(r);
    return r == 1;
}

// str(value), the host's plain text conversion.
inline object text_of(handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    return own(PyObject_Str(value.ptr()));
}

// format(value, ""), as an f-string writes a value: a str as it is.
inline object formatted(handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    return own(PyObject_Format(value.ptr(), nullptr));
}

// sequence[:n], by the sequence's own slicing.
inline object head(handle sequence, Py_ssize_t n) {
    return own(PySequence_GetSlice(sequence.ptr(), 0, n));
}

// a < b for two exact strs, in code point order as the host compares them.
inline bool text_less(PyObject* a, PyObject* b) {
    if (PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) {
        const Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb = PyUnicode_GET_LENGTH(b);
        const int c = std::memcmp(PyUnicode_1BYTE_DATA(a), PyUnicode_1BYTE_DATA(b),
                                  static_cast<size_t>(na < nb ? na : nb));
        return c < 0 || (c == 0 && na < nb);
    }
    return PyUnicode_Compare(a, b) < 0;
}

// The host's name for the type of `o`, as tracebacks show it.
inline const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// ------------------------------------------------------------------ names

// An interned str, made when the module initialises (Name::intern_all, run by
// Module::init) and kept for the process. Declare names at namespace scope,
// `Name k_type{"type"};`, so that no call ever interns lazily and a failure
// to intern fails the import instead of leaving a half-filled table.
class Name {
public:
    explicit Name(const char* text) noexcept : text_(text), next_(list_) { list_ = this; }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* ptr() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }
    handle h() const noexcept { return handle(obj_); }
    const char* text() const noexcept { return text_; }

    // Interns every name declared in this extension module; raises on failure.
    static void intern_all();

private:
    const char* text_;
    Name* next_;
    PyObject* obj_ = nullptr;
    static inline constinit Name* list_ = nullptr;
};

}  // namespace orv
