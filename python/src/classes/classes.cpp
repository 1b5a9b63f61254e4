#include "classes.hpp"

#include <memory>

#include "boundary.hpp"
#include "builders.hpp"
#include "collector.hpp"
#include "machine_object.hpp"
#include "pickling.hpp"
#include "wrappers.hpp"

namespace velmo {

namespace {

// ----------------------------------------------------------- signatures

VELMO_SIGNATURE_KEYWORDS(quarn_new, "Quarn.__new__()", 0, "max_operations", "max_value_size");
VELMO_SIGNATURE(quarn_run, "Quarn.run()", "stmts");
VELMO_SIGNATURE(quarn_get, "Quarn.get()", "ident");
VELMO_SIGNATURE(quarn_update, "Quarn.update()", "bindings");
constexpr Signature quarn_names{"Quarn.names()", nullptr, 0, 0};
VELMO_SIGNATURE_KEYWORDS(quarn_run_many, "Quarn.run_many()", 2, "stmts", "rows", "inputs", "outputs", "errors");
VELMO_SIGNATURE_REQUIRED_KEYWORDS(quarn_run_columns, "Quarn.run_columns()", 2, 1, "stmts", "columns", "outputs",
                                  "inputs", "errors");
VELMO_SIGNATURE(stmt_let, "Statement.let()", "ident", "pxpr");
VELMO_SIGNATURE(stmt_if, "Statement.if_()", "pxpr", "then", "otherwise");
VELMO_SIGNATURE(stmt_fn, "Statement.fn()", "ident", "item");
VELMO_SIGNATURE(expr_literal, "Expr.literal()", "value");
VELMO_SIGNATURE(expr_ident, "Expr.ident()", "id");
VELMO_SIGNATURE(expr_binary_op, "Expr.binary_op()", "a", "o", "b");
VELMO_SIGNATURE(expr_equals, "Expr.equals()", "a", "b");
VELMO_SIGNATURE(expr_not, "Expr.not_()", "item");
VELMO_SIGNATURE(expr_greater_than, "Expr.greater_than()", "a", "b");
VELMO_SIGNATURE(expr_less_than, "Expr.less_than()", "a", "b");
VELMO_SIGNATURE(expr_call, "Expr.call()", "ident", "args");
VELMO_SIGNATURE(expr_vector, "Expr.vector()", "items");
// Pickling and copying (pickling.hpp).
constexpr Signature quarn_reduce{"Quarn.__reduce__()", nullptr, 0, 0};
constexpr Signature quarn_copy{"Quarn.__copy__()", nullptr, 0, 0};
VELMO_SIGNATURE(quarn_deepcopy, "Quarn.__deepcopy__()", "memo");
constexpr Signature stmt_reduce{"Statement.__reduce__()", nullptr, 0, 0};
constexpr Signature stmt_copy{"Statement.__copy__()", nullptr, 0, 0};
VELMO_SIGNATURE(stmt_deepcopy, "Statement.__deepcopy__()", "memo");
constexpr Signature expr_reduce{"Expr.__reduce__()", nullptr, 0, 0};
constexpr Signature expr_copy{"Expr.__copy__()", nullptr, 0, 0};
VELMO_SIGNATURE(expr_deepcopy, "Expr.__deepcopy__()", "memo");
VELMO_SIGNATURE(load_tree, "_load_tree()", "payload", "functions");
VELMO_SIGNATURE(load_machine, "_load_machine()", "payload", "functions");

// --------------------------------------------------------- entry points

using StaticBody = Ref (*)(const Signature&, PyObject* const*);
using MethodBody = Ref (*)(const Signature&, PyQuarn*, PyObject* const*);

template <const Signature& S, StaticBody Body>
PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[kMaxParams];
        bind(S, args, nargs, kwnames, bound);
        return Body(S, bound).release();
    });
}

// A method whose body checks `self` itself.
template <const Signature& S, pickling::MethodBody Body>
PyObject* any_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[kMaxParams];
        bind(S, args, nargs, kwnames, bound);
        return Body(S, self, bound).release();
    });
}

template <const Signature& S, MethodBody Body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[kMaxParams];
        bind(S, args, nargs, kwnames, bound);
        return Body(S, quarn_wrapper(self), bound).release();
    });
}

PyObject* quarn_new_slot(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* bound[kMaxParams];
        bind(quarn_new, args, kwargs, bound);
        return machine_object::create(type, bound).release();
    });
}

PyObject* quarn_repr_slot(PyObject* self) {
    return guarded([&] { return machine_object::repr(quarn_wrapper(self)).release(); });
}

int quarn_contains_slot(PyObject* self, PyObject* name) {
    return guarded_as(-1, [&] { return machine_object::contains(quarn_wrapper(self), name) ? 1 : 0; });
}

Py_ssize_t quarn_length_slot(PyObject* self) {
    return guarded_as<Py_ssize_t>(-1, [&] { return machine_object::length(quarn_wrapper(self)); });
}

// A machine is true whatever it holds, as it always was: its length tells
// how many names are bound, not whether it is there.
int quarn_bool_slot(PyObject*) { return 1; }

template <const char* Message>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, Message);
    return nullptr;
}
constexpr char kNoExpr[] = "No constructor defined for Expr";
constexpr char kNoStatement[] = "No constructor defined for Statement";

// Destroys the wrapped value, if it was built, then frees the object through
// its type. The collector stops looking at the object first: destroying the
// value may run Python code that starts a collection.
template <class Wrapper>
void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    ModuleEntry entry;  // Python references held by the value are released at once
    auto* wrapper = reinterpret_cast<Wrapper*>(self);
    if (wrapper->built.yes()) unwrap(*wrapper);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ------------------------------------------------------- method tables

template <class F>
PyCFunction fast(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}
constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int kInstance = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef quarn_methods[] = {
    {"run", fast(method<quarn_run, machine_object::run>), kInstance, "run($self, stmts)\n--\n\n"},
    {"get", fast(method<quarn_get, machine_object::get>), kInstance, "get($self, ident)\n--\n\n"},
    {"update", fast(method<quarn_update, machine_object::update>), kInstance, "update($self, bindings)\n--\n\n"},
    {"names", fast(method<quarn_names, machine_object::names>), kInstance, "names($self)\n--\n\n"},
    {"run_many", fast(method<quarn_run_many, machine_object::run_many>), kInstance,
     "run_many($self, stmts, rows, *, inputs=None, outputs=(), errors='raise')\n--\n\n"},
    {"run_columns", fast(method<quarn_run_columns, machine_object::run_columns>), kInstance,
     "run_columns($self, stmts, columns, *, outputs, inputs=None, errors='raise')\n--\n\n"},
    {"__reduce__", fast(any_method<quarn_reduce, pickling::reduce_machine>), kInstance, "__reduce__($self)\n--\n\n"},
    {"__copy__", fast(any_method<quarn_copy, pickling::copy_machine>), kInstance, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", fast(any_method<quarn_deepcopy, pickling::copy_machine>), kInstance,
     "__deepcopy__($self, memo)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef statement_methods[] = {
    {"let", fast(static_method<stmt_let, builders::let>), kStatic, "let(ident, pxpr)\n--\n\n"},
    {"if_", fast(static_method<stmt_if, builders::if_>), kStatic, "if_(pxpr, then, otherwise)\n--\n\n"},
    {"fn", fast(static_method<stmt_fn, builders::fn>), kStatic, "fn(ident, item)\n--\n\n"},
    {"__reduce__", fast(any_method<stmt_reduce, pickling::reduce_statement>), kInstance,
     "__reduce__($self)\n--\n\n"},
    {"__copy__", fast(any_method<stmt_copy, pickling::same_statement>), kInstance, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", fast(any_method<stmt_deepcopy, pickling::same_statement>), kInstance,
     "__deepcopy__($self, memo)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef expr_methods[] = {
    {"literal", fast(static_method<expr_literal, builders::literal>), kStatic, "literal(value)\n--\n\n"},
    {"ident", fast(static_method<expr_ident, builders::ident>), kStatic, "ident(id)\n--\n\n"},
    {"binary_op", fast(static_method<expr_binary_op, builders::binary_op>), kStatic, "binary_op(a, o, b)\n--\n\n"},
    {"equals", fast(static_method<expr_equals, builders::equals>), kStatic, "equals(a, b)\n--\n\n"},
    {"not_", fast(static_method<expr_not, builders::not_>), kStatic, "not_(item)\n--\n\n"},
    {"greater_than", fast(static_method<expr_greater_than, builders::greater_than>), kStatic,
     "greater_than(a, b)\n--\n\n"},
    {"less_than", fast(static_method<expr_less_than, builders::less_than>), kStatic, "less_than(a, b)\n--\n\n"},
    {"call", fast(static_method<expr_call, builders::call>), kStatic, "call(ident, args)\n--\n\n"},
    {"vector", fast(static_method<expr_vector, builders::vector>), kStatic, "vector(items)\n--\n\n"},
    {"__reduce__", fast(any_method<expr_reduce, pickling::reduce_expr>), kInstance, "__reduce__($self)\n--\n\n"},
    {"__copy__", fast(any_method<expr_copy, pickling::same_expr>), kInstance, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", fast(any_method<expr_deepcopy, pickling::same_expr>), kInstance,
     "__deepcopy__($self, memo)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// The module's own functions: the loaders that pickled trees and machines
// call (pickling.hpp). Private, so not in __all__.
PyMethodDef module_functions[] = {
    {"_load_tree", fast(static_method<load_tree, pickling::load_tree>), kInstance,
     "_load_tree(payload, functions)\n--\n\nThe Expr or Statement of a pickled tree."},
    {"_load_machine", fast(static_method<load_machine, pickling::load_machine>), kInstance,
     "_load_machine(payload, functions)\n--\n\nThe Quarn machine of a pickled machine."},
    {nullptr, nullptr, 0, nullptr},
};

namespace {

// --------------------------------------------------------- type objects

template <class F>
PyType_Slot slot(int id, F f) {
    return {id, reinterpret_cast<void*>(f)};
}

PyType_Slot quarn_slots[] = {
    slot(Py_tp_base, &PyBaseObject_Type),
    slot(Py_tp_methods, quarn_methods),
    slot(Py_tp_doc, const_cast<char*>("Quarn()\n--\n\n")),
    slot(Py_tp_new, quarn_new_slot),
    slot(Py_tp_repr, quarn_repr_slot),
    slot(Py_sq_contains, quarn_contains_slot),
    slot(Py_sq_length, quarn_length_slot),
    slot(Py_nb_bool, quarn_bool_slot),
    slot(Py_tp_dealloc, dealloc<PyQuarn>),
    slot(Py_tp_traverse, traverse_quarn),
    slot(Py_tp_clear, clear_quarn),
    {0, nullptr},
};

PyType_Slot statement_slots[] = {
    slot(Py_tp_base, &PyBaseObject_Type),
    slot(Py_tp_methods, statement_methods),
    slot(Py_tp_new, no_constructor<kNoStatement>),
    slot(Py_tp_dealloc, dealloc<PyStatement>),
    slot(Py_tp_traverse, traverse_statement),
    slot(Py_tp_clear, clear_statement),
    {0, nullptr},
};

PyType_Slot expr_slots[] = {
    slot(Py_tp_base, &PyBaseObject_Type),
    slot(Py_tp_methods, expr_methods),
    slot(Py_tp_new, no_constructor<kNoExpr>),
    slot(Py_tp_dealloc, dealloc<PyExpr>),
    slot(Py_tp_traverse, traverse_expr),
    slot(Py_tp_clear, clear_expr),
    {0, nullptr},
};

// Instances take part in cyclic garbage collection (collector.hpp).
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
PyType_Spec quarn_spec{"builtins.Quarn", sizeof(PyQuarn), 0, kFlags, quarn_slots};
PyType_Spec statement_spec{"builtins.Statement", sizeof(PyStatement), 0, kFlags, statement_slots};
PyType_Spec expr_spec{"builtins.Expr", sizeof(PyExpr), 0, kFlags, expr_slots};

bool make_type(PyType_Spec& spec, PyTypeObject*& type) {
    if (type) return true;
    auto* made = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (made && !(host::finish_type(made) && host::keep_text_signature(made, spec))) Py_CLEAR(made);
    type = made;
    return made != nullptr;
}

}  // namespace

bool make_types() {
    return make_type(quarn_spec, types.quarn) && make_type(statement_spec, types.statement) &&
           make_type(expr_spec, types.expr) && make_result_types(make_type);
}

}  // namespace velmo
