#include "builders.hpp"

#include "boundary.hpp"
#include "callable.hpp"
#include "convert.hpp"
#include "error_text.hpp"
#include "tree_args.hpp"

namespace velmo::builders {
namespace {

using quarn::Expr;
using quarn::Statement;

// The operator argument: its one byte, or 0 for a text of any other length.
// It is checked only once every argument is converted.
char operator_byte(PyObject* o) {
    // An exact str of one ASCII character is the common case; the character
    // is read without asking for its UTF-8 form.
    if (PyUnicode_CheckExact(o) && PyUnicode_GET_LENGTH(o) == 1 && PyUnicode_READ_CHAR(o, 0) < 0x80)
        return static_cast<char>(PyUnicode_READ_CHAR(o, 0));
    Ref keep;
    std::string_view text = extract_text(o, keep);
    return text.size() == 1 ? text[0] : 0;
}

quarn::Operator operator_of(char byte) {
    switch (byte) {
    case '+': return quarn::Operator::Add;
    case '-': return quarn::Operator::Sub;
    case '*': return quarn::Operator::Mul;
    case '/': return quarn::Operator::Div;
    }
    PyErr_SetString(PyExc_ValueError, "Expected one of: +, -, *, /");
    throw PyErrOccurred{};
}

std::unique_ptr<quarn::QuarnFunction> function_arg(PyObject* object) {
    if (!host::is_plain_function(object)) raise_type_error(mismatch_text(object, "PyFunction"));
    return std::make_unique<PyQuarnFn>(Ref::own(object));
}

template <Expr (*Make)(Expr, Expr)>
Ref pair(const Signature& sig, PyObject* const* args) {
    Expr a = argument(sig, args, 0, expr_arg);
    Expr b = argument(sig, args, 1, expr_arg);
    return wrap(Make(std::move(a), std::move(b)));
}

}  // namespace

Ref literal(const Signature& sig, PyObject* const* args) {
    return wrap(Expr::literal(argument(sig, args, 0, extract_value)));
}

Ref ident(const Signature& sig, PyObject* const* args) {
    return wrap(Expr::ident(argument(sig, args, 0, extract_identifier)));
}

Ref binary_op(const Signature& sig, PyObject* const* args) {
    Expr a = argument(sig, args, 0, expr_arg);
    char o = argument(sig, args, 1, operator_byte);
    Expr b = argument(sig, args, 2, expr_arg);
    return wrap(Expr::binary_op(std::move(a), operator_of(o), std::move(b)));
}

Ref equals(const Signature& sig, PyObject* const* args) { return pair<Expr::equals>(sig, args); }
Ref greater_than(const Signature& sig, PyObject* const* args) { return pair<Expr::greater_than>(sig, args); }
Ref less_than(const Signature& sig, PyObject* const* args) { return pair<Expr::less_than>(sig, args); }

Ref not_(const Signature& sig, PyObject* const* args) {
    return wrap(Expr::not_(argument(sig, args, 0, expr_arg)));
}

Ref call(const Signature& sig, PyObject* const* args) {
    quarn::Identifier ident = argument(sig, args, 0, extract_identifier);
    Expr arg = argument(sig, args, 1, expr_arg);
    return wrap(Expr::call(std::move(ident), std::move(arg)));
}

Ref vector(const Signature& sig, PyObject* const* args) {
    return wrap(Expr::vector(argument(sig, args, 0, expr_list_arg)));
}

Ref let(const Signature& sig, PyObject* const* args) {
    quarn::Identifier ident = argument(sig, args, 0, extract_identifier);
    Expr value = argument(sig, args, 1, expr_arg);
    return wrap(Statement::let(std::move(ident), std::move(value)));
}

Ref if_(const Signature& sig, PyObject* const* args) {
    Expr cond = argument(sig, args, 0, expr_arg);
    quarn::Program then = argument(sig, args, 1, statement_list_arg);
    quarn::Program otherwise = argument(sig, args, 2, statement_list_arg);
    return wrap(Statement::if_(std::move(cond), std::move(then), std::move(otherwise)));
}

Ref fn(const Signature& sig, PyObject* const* args) {
    quarn::Identifier ident = argument(sig, args, 0, extract_identifier);
    std::unique_ptr<quarn::QuarnFunction> f = argument(sig, args, 1, function_arg);
    return wrap(Statement::fn(std::move(ident), std::move(f)));
}

}  // namespace velmo::builders
