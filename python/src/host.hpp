#pragma once
// The host interpreter's C API. PyPy emulates it and differs in a few places;
// every such difference is settled here and nowhere else.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

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
static_assert(sizeof(long) == 8, "a C long holds a Quarn integer");
inline long as_int64(PyObject* o) {
    if (PyLong_Check(o)) return PyLong_AsLong(o);
    PyObject* index = PyNumber_Index(o);
    if (!index) return -1;
    long v = PyLong_AsLong(index);
    Py_DECREF(index);
    return v;
}

using GilState = PyGILState_STATE;

// Reports an error that cannot be raised. PyPy cannot name an object whose
// repr() fails and ends the process instead, so it is not named there.
inline void write_unraisable(PyObject* object) {
#ifdef PYPY_VERSION
    (void)object;
    PyErr_WriteUnraisable(nullptr);
#else
    PyErr_WriteUnraisable(object);
#endif
}

// Makes a type made by PyType_FromSpec final and closed to new attributes.
// CPython does so from the type's flags; PyPy ignores them, so there the
// type gets methods that refuse. Returns false with an error set.
bool finish_type(PyTypeObject* type);

// PyPy drops an empty module docstring; set it again there.
bool finish_module(PyObject* module);

}  // namespace velmo::host
