// The static builders of Expr and Statement, and the conversions that take
// trees out of their wrappers.

#include "builders.hpp"

#include "boundary.hpp"
#include "callable.hpp"
#include "convert.hpp"
#include "wrappers.hpp"

namespace velmo {
namespace {

template <class Wrapper>
Ref make_instance(PyTypeObject* type) {
    if (!type) throw PyErrOccurred{};
    return Ref::checked(PyBaseObject_Type.tp_alloc(type, 0));
}

// Sequence of wrapper instances, each copied out; a str and non-sequences
// are refused before anything is iterated.
template <class T, class Convert>
std::vector<T> list_arg(PyObject* object, Convert convert) {
    std::vector<T> items;
    // Reading an exact list or tuple in place is what iterating it would do,
    // and taking a wrapper's tree runs no Python code that could change it.
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
        PyObject** found = PySequence_Fast_ITEMS(object);
        items.reserve(size);
        for (Py_ssize_t i = 0; i < size; ++i) items.push_back(convert(found[i]));
        return items;
    }
    if (PyUnicode_Check(object)) raise_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) raise_type_error(mismatch_text(object, "Sequence"));
    items.reserve(capacity_hint(object));
    Ref iter = Ref::checked(PyObject_GetIter(object));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) items.push_back(convert(item.get()));
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return items;
}

quarn::Identifier identifier_arg(PyObject* object) {
    return PyIdentifier::extract_bound(object).into_identifier();
}

quarn::Value value_arg(PyObject* object) { return PyValue::extract_bound(object).into_quarnvalue(); }

quarn::Operator operator_of(const std::string& text) {
    if (text.size() == 1) {
        switch (text[0]) {
        case '+': return quarn::Operator::Add;
        case '-': return quarn::Operator::Sub;
        case '*': return quarn::Operator::Mul;
        case '/': return quarn::Operator::Div;
        }
    }
    PyErr_SetString(PyExc_ValueError, "Expected one of: +, -, *, /");
    throw PyErrOccurred{};
}

std::unique_ptr<quarn::QuarnFunction> function_arg(PyObject* object) {
    if (!host::is_plain_function(object)) raise_type_error(mismatch_text(object, "PyFunction"));
    Py_INCREF(object);
    return std::make_unique<PyQuarnFn>(object);
}

#define ARG(i, convert) argument(sig.params[i], [&] { return convert(args[i]); })

using quarn::Expr;

}  // namespace

// ------------------------------------------------------------ wrappers

Ref wrap(quarn::Expr expr) {
    Ref object = make_instance<PyExpr>(expr_type());
    auto* wrapper = reinterpret_cast<PyExpr*>(object.get());
    std::construct_at(&wrapper->expr, std::move(expr));
    wrapper->built.mark();
    return object;
}

Ref wrap(quarn::Statement statement) {
    Ref object = make_instance<PyStatement>(statement_type());
    auto* wrapper = reinterpret_cast<PyStatement*>(object.get());
    std::construct_at(&wrapper->statement, std::move(statement));
    wrapper->built.mark();
    return object;
}

quarn::Expr expr_arg(PyObject* object) {
    if (!PyObject_TypeCheck(object, expr_type())) raise_type_error(mismatch_text(object, "Expr"));
    auto* wrapper = reinterpret_cast<PyExpr*>(object);
    if (!host::check_built(object, wrapper->built)) throw PyErrOccurred{};
    return wrapper->expr;
}

PyStatement* statement_wrapper(PyObject* object) {
    if (!PyObject_TypeCheck(object, statement_type())) raise_type_error(mismatch_text(object, "Statement"));
    auto* wrapper = reinterpret_cast<PyStatement*>(object);
    if (!host::check_built(object, wrapper->built)) throw PyErrOccurred{};
    return wrapper;
}

quarn::Statement statement_arg(PyObject* object) { return statement_wrapper(object)->statement; }

quarn::Program statement_list_arg(PyObject* object) {
    return list_arg<quarn::Statement>(object, statement_arg);
}

std::vector<Ref> statement_objects_arg(PyObject* object) {
    return list_arg<Ref>(object, [](PyObject* item) {
        statement_wrapper(item);
        return Ref::own(item);
    });
}

std::vector<quarn::Expr> expr_list_arg(PyObject* object) { return list_arg<quarn::Expr>(object, expr_arg); }

// ------------------------------------------------------------- builders

namespace builders {

PyObject* literal(const Signature& sig, PyObject** args) {
    return wrap(Expr::literal(ARG(0, value_arg))).release();
}

PyObject* ident(const Signature& sig, PyObject** args) {
    return wrap(Expr::ident(ARG(0, identifier_arg))).release();
}

PyObject* binary_op(const Signature& sig, PyObject** args) {
    Expr a = ARG(0, expr_arg);
    std::string o = ARG(1, extract_string);
    Expr b = ARG(2, expr_arg);
    return wrap(Expr::binary_op(std::move(a), operator_of(o), std::move(b))).release();
}

template <Expr (*Make)(Expr, Expr)>
PyObject* pair(const Signature& sig, PyObject** args) {
    Expr a = ARG(0, expr_arg);
    Expr b = ARG(1, expr_arg);
    return wrap(Make(std::move(a), std::move(b))).release();
}

PyObject* equals(const Signature& sig, PyObject** args) { return pair<Expr::equals>(sig, args); }
PyObject* greater_than(const Signature& sig, PyObject** args) { return pair<Expr::greater_than>(sig, args); }
PyObject* less_than(const Signature& sig, PyObject** args) { return pair<Expr::less_than>(sig, args); }

PyObject* not_(const Signature& sig, PyObject** args) { return wrap(Expr::not_(ARG(0, expr_arg))).release(); }

PyObject* call(const Signature& sig, PyObject** args) {
    quarn::Identifier ident = ARG(0, identifier_arg);
    Expr arg = ARG(1, expr_arg);
    return wrap(Expr::call(std::move(ident), std::move(arg))).release();
}

PyObject* vector(const Signature& sig, PyObject** args) {
    return wrap(Expr::vector(ARG(0, expr_list_arg))).release();
}

PyObject* let(const Signature& sig, PyObject** args) {
    quarn::Identifier ident = ARG(0, identifier_arg);
    Expr value = ARG(1, expr_arg);
    return wrap(quarn::Statement::let(std::move(ident), std::move(value))).release();
}

PyObject* if_(const Signature& sig, PyObject** args) {
    Expr cond = ARG(0, expr_arg);
    quarn::Program then = ARG(1, statement_list_arg);
    quarn::Program otherwise = ARG(2, statement_list_arg);
    return wrap(quarn::Statement::if_(std::move(cond), std::move(then), std::move(otherwise))).release();
}

PyObject* fn(const Signature& sig, PyObject** args) {
    quarn::Identifier ident = ARG(0, identifier_arg);
    std::unique_ptr<quarn::QuarnFunction> f = ARG(1, function_arg);
    return wrap(quarn::Statement::fn(std::move(ident), std::move(f))).release();
}

}  // namespace builders
}  // namespace velmo
