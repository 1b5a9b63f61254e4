#pragma once
// The host interpreter's C API. PyPy emulates it and differs in a few places;
// every such difference is settled here and nowhere else.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velmo::host {

// The qualified name of a type, as a new reference (or null with an error).
inline PyObject* qualname(PyTypeObject* type) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
}

// A function made by def or lambda. PyPy's own function check also accepts
// its built-in functions, so compare the exact type on both hosts.
inline bool is_plain_function(PyObject* o) { return Py_TYPE(o) == &PyFunction_Type; }

// The signed 64-bit value of an int or of an object with __index__. PyPy's
// PyLong_AsLong also truncates floats, which would turn 2.5 into 2; taking
// everything that is not an int through PyNumber_Index first keeps to what
// CPython accepts. Returns -1 with an error set on failure.
inline long long as_int64(PyObject* o) {
    if (PyLong_Check(o)) return PyLong_AsLongLong(o);
    PyObject* index = PyNumber_Index(o);
    if (!index) return -1;
    long long v = PyLong_AsLongLong(index);
    Py_DECREF(index);
    return v;
}

using GilState = PyGILState_STATE;

}  // namespace velmo::host
