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

// The operator's text: its one byte, or 0 for a text of any other length.
char read_operator_byte(PyObject* o) {
    // An exact str of one ASCII character is the common case; the character
    // is read without asking for its UTF-8 form.
    if (PyUnicode_CheckExact(o) && PyUnicode_GET_LENGTH(o) == 1 && PyUnicode_READ_CHAR(o, 0) < 0x80)
        return static_cast<char>(PyUnicode_READ_CHAR(o, 0));
    Ref keep;
    std::string_view text = extract_text(o, keep);
    return text.size() == 1 ? text[0] : 0;
}

// The str objects of the four operators, as the first call with each passed
// it, held for the life of the process: programs pass the same constant
// every time, and an object held cannot give its address to another str.
// On PyPy, where reading a str's character is a call into its C-API layer,
// this makes a build of many operators cheaper by as much.
struct KnownOperator {
    PyObject* text = nullptr;
    char byte = 0;
};
KnownOperator known_operators[4];

// The operator argument's byte. It is checked only once every argument is
// converted.
char operator_byte(PyObject* o) {
    for (const KnownOperator& known : known_operators)
        if (known.text == o) return known.byte;
    char byte = read_operator_byte(o);
    std::size_t slot = std::string_view("+-*/").find(byte);
    if (slot != std::string_view::npos && !known_operators[slot].text && PyUnicode_CheckExact(o))
        known_operators[slot] = {Ref::own(o).release(), byte};
    return byte;
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
