// A bare extension type that takes part in cyclic garbage collection the
// textbook way, so that whether a host's collector frees cycles through such
// types can be seen apart from any real module. Holder(obj) keeps one
// reference, visits it in tp_traverse and drops it in tp_clear; the module
// counts live holders and tp_traverse calls at the C level. Holder is a heap
// type made by PyType_FromSpec, as velmo's classes are.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

Py_ssize_t live_holders = 0;
Py_ssize_t traversals = 0;

struct Holder {
    PyObject_HEAD
    PyObject* held;
};

Holder* as_holder(PyObject* self) { return reinterpret_cast<Holder*>(self); }

PyObject* holder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* held = Py_None;
    if (kwargs && PyDict_Size(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "Holder() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "|O:Holder", &held)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Py_INCREF(held);
    as_holder(self)->held = held;
    ++live_holders;
    return self;
}

int holder_traverse(PyObject* self, visitproc visit, void* arg) {
    ++traversals;
    Py_VISIT(Py_TYPE(self));  // an instance of a heap type owns a reference to it
    Py_VISIT(as_holder(self)->held);
    return 0;
}

int holder_clear(PyObject* self) {
    Py_CLEAR(as_holder(self)->held);
    return 0;
}

void holder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    holder_clear(self);
    --live_holders;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* holder_get(PyObject* self, void*) {
    PyObject* held = as_holder(self)->held ? as_holder(self)->held : Py_None;
    Py_INCREF(held);
    return held;
}

int holder_set(PyObject* self, PyObject* value, void*) {
    value = value ? value : Py_None;
    Py_INCREF(value);
    Py_XSETREF(as_holder(self)->held, value);
    return 0;
}

PyGetSetDef holder_getset[] = {
    {"held", holder_get, holder_set, "the one object this holder keeps", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot holder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(holder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(holder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(holder_clear)},
    {Py_tp_getset, holder_getset},
    {0, nullptr},
};

PyType_Spec holder_spec{"gc_probe.Holder", sizeof(Holder), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                        holder_slots};

PyObject* live(PyObject*, PyObject*) { return PyLong_FromSsize_t(live_holders); }

PyObject* traversed(PyObject*, PyObject*) { return PyLong_FromSsize_t(traversals); }

PyMethodDef module_methods[] = {
    {"live", live, METH_NOARGS, "live() -> number of Holder instances not yet deallocated"},
    {"traversed", traversed, METH_NOARGS, "traversed() -> number of tp_traverse calls so far"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "gc_probe", nullptr, -1, module_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_gc_probe() {
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    PyObject* type = PyType_FromSpec(&holder_spec);
    if (!type || PyModule_AddObject(module, "Holder", type) < 0) {
        Py_XDECREF(type);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
