// The cost floor of velmo's calls: the same calls, made the same way
// (METH_FASTCALL | METH_KEYWORDS, static where velmo's are static, an
// instance method for get, heap types made by PyType_FromSpec), doing only
// the bare C-API work each one cannot avoid. The benchmark divides velmo's
// time by these to show how much each call adds to a bare call into a module.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

// A tree node: holds its one or two operands, as an Expr holds its children.
struct Node {
    PyObject_HEAD
    PyObject* left;
    PyObject* right;
};

PyTypeObject* node_type = nullptr;

bool arity(const char* name, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t expected) {
    if (nargs == expected && !kwnames) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments", name, expected);
    return false;
}

PyObject* new_node(PyObject* left, PyObject* right) {
    auto* node = reinterpret_cast<Node*>(node_type->tp_alloc(node_type, 0));
    if (!node) return nullptr;
    Py_INCREF(left);
    Py_XINCREF(right);
    node->left = left;
    node->right = right;
    return reinterpret_cast<PyObject*>(node);
}

void node_dealloc(PyObject* self) {
    auto* node = reinterpret_cast<Node*>(self);
    Py_DECREF(node->left);
    Py_XDECREF(node->right);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold their type
}

// W1: literal(value), the leaf builder.
PyObject* literal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!arity("literal", nargs, kwnames, 1)) return nullptr;
    return new_node(args[0], nullptr);
}

// W1: binary_op(a, o, b), two objects and a str.
PyObject* binary_op(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!arity("binary_op", nargs, kwnames, 3)) return nullptr;
    if (!PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "binary_op() needs a str operator");
        return nullptr;
    }
    return new_node(args[0], args[2]);
}

// W4: calls f back once with a new int made from value, returning f's result.
// One variant per way the C API offers to make that call.
PyObject* new_int_argument(PyObject* value) {
    long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(v);
}

template <PyObject* (*Invoke)(PyObject* f, PyObject* arg)>
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!arity("call", nargs, kwnames, 2)) return nullptr;
    PyObject* arg = new_int_argument(args[1]);
    if (!arg) return nullptr;
    PyObject* result = Invoke(args[0], arg);
    Py_DECREF(arg);
    return result;
}

PyObject* by_vectorcall(PyObject* f, PyObject* arg) {
    PyObject* slots[2] = {nullptr, arg};  // slot 0 lets the callee borrow it
    return PyObject_Vectorcall(f, slots + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* by_one_arg(PyObject* f, PyObject* arg) { return PyObject_CallOneArg(f, arg); }

PyObject* by_obj_args(PyObject* f, PyObject* arg) { return PyObject_CallFunctionObjArgs(f, arg, nullptr); }

PyObject* by_tuple(PyObject* f, PyObject* arg) {
    PyObject* tuple = PyTuple_New(1);
    if (!tuple) return nullptr;
    Py_INCREF(arg);
    PyTuple_SET_ITEM(tuple, 0, arg);
    PyObject* result = PyObject_Call(f, tuple, nullptr);
    Py_DECREF(tuple);
    return result;
}

// W5i: get(ident) of an int. The floor does nothing with the name.
constexpr long kInt = 1000003;
constexpr Py_ssize_t kListLength = 100;
constexpr long kListBase = 1000;

PyObject* get(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!arity("get", nargs, kwnames, 1)) return nullptr;
    return PyLong_FromLong(kInt);
}

// W5l: get(ident) of a list of 100 ints, filled by index.
PyObject* get_list(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!arity("get_list", nargs, kwnames, 1)) return nullptr;
    PyObject* list = PyList_New(kListLength);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < kListLength; ++i) {
        PyObject* item = PyLong_FromLong(kListBase + i);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}

// W5l: the same list grown by appending.
PyObject* get_list_append(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!arity("get_list_append", nargs, kwnames, 1)) return nullptr;
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < kListLength; ++i) {
        PyObject* item = PyLong_FromLong(kListBase + i);
        int failed = !item || PyList_Append(list, item) < 0;
        Py_XDECREF(item);
        if (failed) {
            Py_DECREF(list);
            return nullptr;
        }
    }
    return list;
}

#define FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))
constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int kInstance = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef floor_methods[] = {
    {"literal", FAST(literal), kStatic, nullptr},
    {"binary_op", FAST(binary_op), kStatic, nullptr},
    {"call_vectorcall", FAST(call<by_vectorcall>), kStatic, nullptr},
    {"call_one_arg", FAST(call<by_one_arg>), kStatic, nullptr},
    {"call_obj_args", FAST(call<by_obj_args>), kStatic, nullptr},
    {"call_tuple", FAST(call<by_tuple>), kStatic, nullptr},
    {"get", FAST(get), kInstance, nullptr},
    {"get_list", FAST(get_list), kInstance, nullptr},
    {"get_list_append", FAST(get_list_append), kInstance, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot floor_slots[] = {
    {Py_tp_methods, floor_methods},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {0, nullptr},
};

PyType_Spec floor_spec{"velmo_floor.Floor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, floor_slots};
PyType_Spec node_spec{"velmo_floor.Node", sizeof(Node), 0, Py_TPFLAGS_DEFAULT, node_slots};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "velmo_floor", nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                          nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velmo_floor(void) {
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    node_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&node_spec));
    PyObject* floor_type = PyType_FromSpec(&floor_spec);
    if (!node_type || !floor_type || PyModule_AddObject(module, "Floor", floor_type) < 0) {
        Py_XDECREF(floor_type);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
