// The cost floor of velmo's calls: the same whole job, done the way a careful
// author of a bare extension would do it with the C API and nothing more. The
// calls are made the same way as velmo's (METH_FASTCALL | METH_KEYWORDS,
// static where velmo's are static, an instance method for get, heap types made
// by PyType_FromSpec). The benchmark divides velmo's time by these to show
// how much velmo adds to the work nobody can avoid.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstring>

namespace {

bool arity(const char* name, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t expected) {
    if (nargs == expected && !kwnames) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments", name, expected);
    return false;
}

// W1: a tree node. A literal holds its value, a binary operation its two
// operand nodes and its operator as a byte. Since a node holds references to
// Python objects (a literal may hold a list, which may hold a node), the type
// takes part in cyclic garbage collection.
struct Node {
    PyObject_HEAD
    PyObject* left;   // the literal's value, or the left operand
    PyObject* right;  // null for a literal
    char op;          // 0 for a literal
};

PyTypeObject* node_type = nullptr;

// A node is filled before the collector is told of it, so it never sees one
// half made; PyObject_GC_New neither zeroes the memory nor tracks.
PyObject* new_node(PyObject* left, char op, PyObject* right) {
    Node* node = PyObject_GC_New(Node, node_type);
    if (!node) return nullptr;
    Py_INCREF(left);
    Py_XINCREF(right);
    node->left = left;
    node->right = right;
    node->op = op;
    PyObject_GC_Track(node);
    return reinterpret_cast<PyObject*>(node);
}

int node_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* node = reinterpret_cast<Node*>(self);
    Py_VISIT(Py_TYPE(self));  // instances of a heap type hold their type
    Py_VISIT(node->left);
    Py_VISIT(node->right);
    return 0;
}

int node_clear(PyObject* self) {
    auto* node = reinterpret_cast<Node*>(self);
    Py_CLEAR(node->left);
    Py_CLEAR(node->right);
    return 0;
}

void node_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    node_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// The kinds of value a literal holds, as velmo's: exact types first, which is
// every call of the benchmark, then their subclasses.
bool literal_value(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyLong_Type || t == &PyFloat_Type || t == &PyUnicode_Type || t == &PyList_Type || t == &PyBool_Type ||
        v == Py_None)
        return true;
    return PyLong_Check(v) || PyFloat_Check(v) || PyUnicode_Check(v) || PyList_Check(v);
}

// W1: literal(value), the leaf builder.
PyObject* literal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!arity("literal", nargs, kwnames, 1)) return nullptr;
    if (!literal_value(args[0])) {
        PyErr_SetString(PyExc_TypeError, "literal() takes None, a bool, an int, a float, a str or a list");
        return nullptr;
    }
    return new_node(args[0], 0, nullptr);
}

// The operator's one character if it is one of + - * /, else 0.
char arithmetic(PyObject* o) {
    if (!PyUnicode_Check(o) || PyUnicode_GET_LENGTH(o) != 1) return 0;
    Py_UCS4 c = PyUnicode_READ_CHAR(o, 0);
    return c == '+' || c == '-' || c == '*' || c == '/' ? static_cast<char>(c) : 0;
}

// W1: binary_op(a, o, b): two nodes and an operator.
PyObject* binary_op(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!arity("binary_op", nargs, kwnames, 3)) return nullptr;
    if (Py_TYPE(args[0]) != node_type || Py_TYPE(args[2]) != node_type) {
        PyErr_SetString(PyExc_TypeError, "binary_op() takes two nodes");
        return nullptr;
    }
    char op = arithmetic(args[1]);
    if (!op) {
        PyErr_SetString(PyExc_ValueError, "binary_op() takes one of: +, -, *, /");
        return nullptr;
    }
    return new_node(args[0], op, args[2]);
}

// W4: call_loop(f, n) calls f back n times from a native loop, as a run of
// lets of f(i) does: each argument a new int made from the loop index, each
// result read back into a C long. It returns the first and the last result.
// One variant per way the C API offers to make the call.
long as_long(PyObject* result) {
    if (PyLong_Check(result)) return PyLong_AsLong(result);
    PyErr_SetString(PyExc_TypeError, "the callback must return an int");
    return -1;
}

template <PyObject* (*Invoke)(PyObject* f, PyObject* arg)>
bool call_back(PyObject* f, long i, long& out) {
    PyObject* arg = PyLong_FromLong(i);
    if (!arg) return false;
    PyObject* result = Invoke(f, arg);
    Py_DECREF(arg);
    if (!result) return false;
    out = as_long(result);
    Py_DECREF(result);
    return !(out == -1 && PyErr_Occurred());
}

template <PyObject* (*Invoke)(PyObject* f, PyObject* arg)>
PyObject* call_loop(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!arity("call_loop", nargs, kwnames, 2)) return nullptr;
    long n = PyLong_AsLong(args[1]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    long first = 0, last = 0;
    for (long i = 0; i < n; ++i) {
        if (!call_back<Invoke>(args[0], i, last)) return nullptr;
        if (i == 0) first = last;
    }
    return Py_BuildValue("(ll)", first, last);
}

// The argument on the C stack, with a free slot before it that lets a bound
// method's callee put its self there instead of copying the arguments.
PyObject* by_vectorcall(PyObject* f, PyObject* arg) {
    PyObject* slots[2] = {nullptr, arg};
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

// W8: rules_many(rows) runs the five rules over every row of a list of
// (tier, weight, subtotal) and returns the list of (total, label), as
// run_many does: the rows read in place from the list (PySequence_Fast, which
// copies any other iterable into a list), each row a sequence of three values
// (a tuple read in place), the tier a str, the other two floats (ints are
// taken as floats). Each total is a new float; each label a new str, as get
// makes them, or one of two str made once (rules_many_shared).
PyObject* labels[2] = {nullptr, nullptr};  // "large" and "small", made once

// 1 when the tier is "gold", 0 when it is another str, -1 with an exception set.
int is_gold(PyObject* tier) {
    if (!PyUnicode_Check(tier)) {
        PyErr_SetString(PyExc_TypeError, "the tier must be a str");
        return -1;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(tier, &size);
    if (!text) return -1;
    return size == 4 && std::memcmp(text, "gold", 4) == 0;
}

double as_double(PyObject* v) {
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    return PyFloat_AsDouble(v);
}

// (total, label) as a new tuple of a new float and the label.
template <bool Shared>
PyObject* rules_result(double total, bool large) {
    PyObject* result = PyTuple_New(2);
    if (!result) return nullptr;
    PyObject* label = Shared ? labels[!large] : PyUnicode_FromStringAndSize(large ? "large" : "small", 5);
    if (Shared) Py_INCREF(label);
    PyTuple_SET_ITEM(result, 0, PyFloat_FromDouble(total));
    PyTuple_SET_ITEM(result, 1, label);
    if (!PyTuple_GET_ITEM(result, 0) || !label) Py_CLEAR(result);
    return result;
}

// The rules over one row; null with an exception set when the row is wrong.
template <bool Shared>
PyObject* rules_row(PyObject* row) {
    PyObject* fast = PyTuple_CheckExact(row) ? (Py_INCREF(row), row) : PySequence_Fast(row, "a row is a sequence");
    if (!fast) return nullptr;
    if (PySequence_Fast_GET_SIZE(fast) != 3) {
        Py_DECREF(fast);
        PyErr_SetString(PyExc_ValueError, "a row has 3 values");
        return nullptr;
    }
    PyObject** items = PySequence_Fast_ITEMS(fast);
    int gold = is_gold(items[0]);
    double weight = gold < 0 ? -1.0 : as_double(items[1]);
    double subtotal = weight == -1.0 && PyErr_Occurred() ? -1.0 : as_double(items[2]);
    Py_DECREF(fast);
    if (subtotal == -1.0 && PyErr_Occurred()) return nullptr;
    double shipping = weight * 0.5 + 4.0;
    double rate = gold ? 0.9 : 1.0;
    double total = subtotal * rate + shipping;
    return rules_result<Shared>(total * 1.2, total > 100.0);
}

template <bool Shared>
PyObject* rules_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!arity("rules_many", nargs, kwnames, 1)) return nullptr;
    PyObject* rows = PySequence_Fast(args[0], "rules_many() takes an iterable");
    if (!rows) return nullptr;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(rows);
    PyObject* results = PyList_New(n);
    for (Py_ssize_t i = 0; results && i < n; ++i) {
        PyObject* result = rules_row<Shared>(PySequence_Fast_GET_ITEM(rows, i));
        if (!result) Py_CLEAR(results);
        else PyList_SET_ITEM(results, i, result);
    }
    Py_DECREF(rows);
    return results;
}

#define FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))
constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int kInstance = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef floor_methods[] = {
    {"literal", FAST(literal), kStatic, nullptr},
    {"binary_op", FAST(binary_op), kStatic, nullptr},
    {"call_loop_vectorcall", FAST(call_loop<by_vectorcall>), kStatic, nullptr},
    {"call_loop_one_arg", FAST(call_loop<by_one_arg>), kStatic, nullptr},
    {"call_loop_obj_args", FAST(call_loop<by_obj_args>), kStatic, nullptr},
    {"call_loop_tuple", FAST(call_loop<by_tuple>), kStatic, nullptr},
    {"get", FAST(get), kInstance, nullptr},
    {"get_list", FAST(get_list), kInstance, nullptr},
    {"get_list_append", FAST(get_list_append), kInstance, nullptr},
    {"rules_many", FAST(rules_many<false>), kInstance, nullptr},
    {"rules_many_shared", FAST(rules_many<true>), kInstance, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Read-only views of a node, so the benchmark can check the tree it built.
PyMemberDef node_members[] = {
    {"left", T_OBJECT, offsetof(Node, left), READONLY, nullptr},
    {"right", T_OBJECT, offsetof(Node, right), READONLY, nullptr},
    {"op", T_BYTE, offsetof(Node, op), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot floor_slots[] = {
    {Py_tp_methods, floor_methods},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
    {Py_tp_members, node_members},
    {0, nullptr},
};

PyType_Spec floor_spec{"velmo_floor.Floor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, floor_slots};
PyType_Spec node_spec{"velmo_floor.Node", sizeof(Node), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, node_slots};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "velmo_floor", nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                          nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velmo_floor(void) {
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    labels[0] = PyUnicode_InternFromString("large");
    labels[1] = PyUnicode_InternFromString("small");
    node_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&node_spec));
    PyObject* floor_type = PyType_FromSpec(&floor_spec);
    if (!labels[0] || !labels[1] || !node_type || !floor_type || PyModule_AddObject(module, "Floor", floor_type) < 0) {
        Py_XDECREF(floor_type);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
