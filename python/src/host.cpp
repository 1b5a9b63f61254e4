#include "host.hpp"

#include <string>

namespace velmo::host {

#ifdef PYPY_VERSION
namespace {

PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) {
    // Called on the new subclass; the refusing class is its base. PyPy's
    // tp_name is the bare class name.
    PyErr_Format(PyExc_TypeError, "type 'builtins.%s' is not an acceptable base type",
                 reinterpret_cast<PyTypeObject*>(cls)->tp_base->tp_name);
    return nullptr;
}

PyObject* refuse_attribute(PyObject* self, PyObject* args) {
    PyObject* name = PyTuple_Size(args) > 0 ? PyTuple_GetItem(args, 0) : nullptr;
    if (!name) return nullptr;
    PyErr_Format(PyExc_AttributeError, "'builtins.%s' object has no attribute '%U'", Py_TYPE(self)->tp_name, name);
    return nullptr;
}

PyMethodDef init_subclass_def = {"__init_subclass__",
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(refuse_subclass)),
                                 METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr};
PyMethodDef setattr_def = {"__setattr__", refuse_attribute, METH_VARARGS, nullptr};
PyMethodDef delattr_def = {"__delattr__", refuse_attribute, METH_VARARGS, nullptr};

bool install(PyTypeObject* type, PyObject* descriptor, const char* name) {
    if (!descriptor) return false;
    int rc = PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, descriptor);
    Py_DECREF(descriptor);
    return rc == 0;
}

}  // namespace

bool finish_type(PyTypeObject* type) {
    return install(type, PyDescr_NewClassMethod(type, &init_subclass_def), "__init_subclass__") &&
           install(type, PyDescr_NewMethod(type, &setattr_def), "__setattr__") &&
           install(type, PyDescr_NewMethod(type, &delattr_def), "__delattr__");
}

bool finish_module(PyObject* module) {
    PyObject* empty = PyUnicode_FromString("");
    if (!empty) return false;
    int rc = PyObject_SetAttrString(module, "__doc__", empty);
    Py_DECREF(empty);
    return rc == 0;
}

#else

bool finish_type(PyTypeObject*) { return true; }
bool finish_module(PyObject*) { return true; }

#endif

}  // namespace velmo::host
