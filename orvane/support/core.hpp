// Calling conventions shared by every orvane module.
//
// Functions are exposed as METH_FASTCALL | METH_KEYWORDS builtins rather than
// nanobind overload sets: the argument rules here (exact types, the messages
// users see, truncating integers, keyword-only parameters) are our own, and a
// builtin carries a text signature that `inspect.signature` understands.
// Bodies are C++ that may throw; `entry` turns every exception into the
// Python exception it stands for.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
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

// --------------------------------------------------------------- entries

struct Args {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;
};

using Body = object (*)(const Args&);

template <Body body>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    try {
        return body(Args{args, nargs, kwnames}).release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

// A PyMethodDef row for `body`; `doc` starts with the text signature,
// "name(params)\n--\n\n".
template <Body body>
constexpr PyMethodDef method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// ------------------------------------------------------------- signatures

// The parameter list of one function: `positional` leading names may be passed
// by position, the rest only by keyword; the first `required` have no default.
class Signature {
public:
    Signature(const char* func, std::initializer_list<const char*> names, int positional,
              int required);

    // Matches the call against the parameters. `out` receives one borrowed
    // reference per parameter, nullptr where an optional one was not given.
    // Wrong counts, unknown or repeated keywords raise TypeError.
    void bind(const Args& call, PyObject** out);

    int size() const { return static_cast<int>(names_.size()); }

private:
    [[noreturn]] void missing(PyObject** out, int from, int to, bool kwonly);

    const char* func_;
    std::vector<const char*> names_;
    std::vector<PyObject*> interned_;
    int positional_;
    int required_;
};

// ------------------------------------------------------------ conversions

// The parameter must be exactly `type` (or None where `optional`); anything
// else raises "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
void expect(PyObject* value, PyTypeObject* type, const char* param, bool optional = false);

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

// mapping.get(key, default): exact dicts directly, other maps through their
// own `get`. Returns a new reference to the value or to `dflt`.
object get(handle map, PyObject* key, handle dflt);

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

// An interned str living for the whole process.
PyObject* intern(const char* s);

}  // namespace orv
