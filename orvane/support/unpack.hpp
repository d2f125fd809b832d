// `a, b, c = value` from C++: the items of an iterable that must hold
// exactly n of them, with the host's own errors for one that does not; and
// `for key, value in map.items()`.
#pragma once

#include "support/core.hpp"
#include "support/names.hpp"

#include <array>

namespace orv {

// Fills out[0..n) with the items of `value`. Raises what the host's
// unpacking raises: TypeError "cannot unpack non-iterable %.200s object",
// ValueError "not enough values to unpack (expected %d, got %d)" or
// "too many values to unpack (expected %d)", or the iterator's own error.
void unpack_into(handle value, object* out, int n);

template <int N>
std::array<object, N> unpack(handle value) {
    std::array<object, N> items;
    unpack_into(value, items.data(), N);
    return items;
}

// Calls each(key, value) for the members of a map in order, as
// `for key, value in map.items()` does: an exact dict directly (a change
// meanwhile raises the host's RuntimeError, as its iterator does), any other
// map through its own items(), each pair unpacked with the host's errors. Key
// and value are owned while `each` runs.
template <typename F>
void for_each_item(handle map, F&& each) {
    if (PyDict_CheckExact(map.ptr())) {
        const Py_ssize_t size = PyDict_GET_SIZE(map.ptr());
        Py_ssize_t pos = 0, seen = 0;
        PyObject *key, *value;
        while (PyDict_Next(map.ptr(), &pos, &key, &value)) {
            if (seen++ == size) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
            object k = nb::borrow(key), v = nb::borrow(value);
            each(handle(k), handle(v));
            if (PyDict_GET_SIZE(map.ptr()) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    object items = own(PyObject_CallMethodNoArgs(map.ptr(), k_items));
    for_each(items, [&](object pair) {
        auto [k, v] = unpack<2>(pair);
        each(handle(k), handle(v));
    });
}

}  // namespace orv
