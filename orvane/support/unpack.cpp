// Unpacking as the host's UNPACK_SEQUENCE does it (its unpack_iterable).
#include "support/unpack.hpp"

namespace orv {

void unpack_into(handle value, object* out, int n) {
    PyObject* v = value.ptr();
    if ((PyTuple_CheckExact(v) || PyList_CheckExact(v)) && Py_SIZE(v) == n) {
        for (int i = 0; i < n; ++i)
            out[i] = nb::borrow(PyTuple_CheckExact(v) ? PyTuple_GET_ITEM(v, i) : PyList_GET_ITEM(v, i));
        return;
    }
    PyObject* raw = PyObject_GetIter(v);
    if (!raw) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(v)->tp_iter && !PySequence_Check(v)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type_name(v));
        }
        raise_current();
    }
    object it = nb::steal(raw);
    for (int i = 0; i < n; ++i) {
        PyObject* item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) raise_current();
            raise(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", n, i);
        }
        out[i] = nb::steal(item);
    }
    if (PyObject* extra = PyIter_Next(it.ptr())) {
        Py_DECREF(extra);
#if PY_VERSION_HEX >= 0x030E0000
        if (PyList_CheckExact(v) || PyTuple_CheckExact(v) || PyDict_CheckExact(v)) {
            const Py_ssize_t size = PyDict_CheckExact(v) ? PyDict_Size(v) : Py_SIZE(v);
            if (size > n)
                raise(PyExc_ValueError, "too many values to unpack (expected %d, got %zd)", n, size);
        }
#endif
        raise(PyExc_ValueError, "too many values to unpack (expected %d)", n);
    }
    if (PyErr_Occurred()) raise_current();
}

}  // namespace orv
