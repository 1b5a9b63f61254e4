"""The Expr/Statement builders and what the expressions they build compute."""

import functools
import math
import struct

import pytest

from velmo import Expr, Quarn, Statement
from conftest import I64_MAX, I64_MIN, evaluate, ident, let, lit, op, panic_message

NAN = float("nan")
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]


def type_error(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


def func(x):
    return x


# ---- operators --------------------------------------------------------------

@pytest.mark.parametrize(
    "a,o,b,expected",
    [
        (7, "+", 2, 9), (7, "-", 2, 5), (7, "*", 2, 14), (7, "/", 2, 3),
        (-7, "/", 2, -3), (7, "/", -2, -3), (1, "/", 2, 0),
        (I64_MAX, "+", 1, I64_MIN), (I64_MIN, "-", 1, I64_MAX),
        (I64_MAX, "*", 2, -2), (I64_MIN, "*", -1, I64_MIN),
        (1, "+", 1.0, 2.0), (1, "/", 2.0, 0.5), (3.0, "/", 2, 1.5), (7.0, "/", 0, math.inf),
        (1, "/", 0.0, math.inf), (-1.0, "/", 0.0, -math.inf), (0.5, "*", 4, 2.0), (2**53 + 1, "+", 0.0, 2.0**53),
        ("ab", "+", "cd", "abcd"), ("", "+", "x", "x"), ("x", "+", "", "x"),
    ],
)
def test_arithmetic(a, o, b, expected):
    got = evaluate(op(lit(a), o, lit(b)))
    assert type(got) is type(expected)
    assert got == expected


def test_float_division_by_zero_gives_nan():
    assert math.isnan(evaluate(op(lit(0), "/", lit(0.0))))


@pytest.mark.parametrize(
    "a,o,b,message",
    [
        ("a", "-", "b", "Unknown binary operation for Value::String"),
        ("a", "*", "b", "Unknown binary operation for Value::String"),
        ("a", "/", "b", "Unknown binary operation for Value::String"),
        ("a", "+", 1, "Binary operator for unknown type"),
        ("a", "-", 1, "Binary operator for unknown type"),
        (1, "+", "a", "Binary operator for unknown type"),
        (1, "*", None, "Binary operator for unknown type"),
        (True, "+", True, "Binary operator for unknown type"),
        (None, "+", None, "Binary operator for unknown type"),
        ([1], "+", [2], "Binary operator for unknown type"),
        (7, "/", 0, "attempt to divide by zero"),
        (0, "/", 0, "attempt to divide by zero"),
        (I64_MIN, "/", -1, "attempt to divide with overflow"),
    ],
)
def test_arithmetic_errors(a, o, b, message):
    assert panic_message(evaluate, op(lit(a), o, lit(b))) == message


@pytest.mark.parametrize("text", ["%", "", "++", " +", "+ ", "\u00f7", "\u2795", "add", "+\x00"])
def test_unknown_operator(text):
    with pytest.raises(ValueError) as info:
        op(lit(1), text, lit(2))
    assert type(info.value) is ValueError
    assert str(info.value) == "Expected one of: +, -, *, /"


class Plus(str):
    pass


def test_operator_text_rules():
    assert evaluate(op(lit(2), Plus("*"), lit(3))) == 6
    # all three arguments are converted before the operator is examined
    assert type_error(op, lit(1), "%", 5) == "argument 'b': 'int' object cannot be converted to 'Expr'"
    assert type_error(op, 5, "%", 5) == "argument 'a': 'int' object cannot be converted to 'Expr'"
    assert type_error(op, lit(1), 1, lit(2)) == "argument 'o': 'int' object cannot be converted to 'PyString'"
    assert type_error(op, lit(1), b"+", lit(2)) == "argument 'o': 'bytes' object cannot be converted to 'PyString'"


# ---- comparison and equality ------------------------------------------------

@pytest.mark.parametrize(
    "a,b,gt,lt",
    [
        (2, 1.5, True, False), (-0.0, 0.0, False, True), (0, -0.0, True, False),
        (NAN, 1e308, True, False), (NAN, math.inf, True, False), (NAN, NAN, False, False),
        (NEG_NAN, -math.inf, False, True), (1, 1.0, False, False), (1, 2, False, True),
        (I64_MIN, I64_MAX, False, True), (2**53 + 1, float(2**53), False, False), (3, 3, False, False),
    ],
)
def test_ordering(a, b, gt, lt):
    assert evaluate(Expr.greater_than(lit(a), lit(b))) is gt
    assert evaluate(Expr.less_than(lit(a), lit(b))) is lt


@pytest.mark.parametrize("a,b", [("a", 1), (1, None), (True, False), ([1], [2])])
def test_ordering_needs_numbers(a, b):
    msg = "Both left-hand and right-hand side values must be a number"
    assert panic_message(evaluate, Expr.greater_than(lit(a), lit(b))) == msg
    assert panic_message(evaluate, Expr.less_than(lit(a), lit(b))) == msg


@pytest.mark.parametrize(
    "a,b,expected",
    [
        (None, None, True), (None, False, False), (None, 1, False), (1, 1.0, False), (1, 1, True),
        (NAN, NAN, False), (0.0, -0.0, True), ("ab", "ab", True), ("a", "b", False), (True, True, True),
        ([1, "a"], [2, 5], False), (["a"], [1, 2], False), ([], [], True), ([1, [2]], [1, [2]], True),
    ],
)
def test_equality(a, b, expected):
    assert evaluate(Expr.equals(lit(a), lit(b))) is expected


@pytest.mark.parametrize(
    "a,b,message",
    [
        (True, None, "Expected other item to be Value::Boolean"),
        (1, None, "Expected other item to be Value::Number"),
        ("a", 1, "Expected other item to be Value::String"),
        ([1], 1, "Expected other item to be Value::Vector"),
        ([1, "a"], [1, 5], "Expected other item to be Value::String"),
    ],
)
def test_equality_errors(a, b, message):
    assert panic_message(evaluate, Expr.equals(lit(a), lit(b))) == message


def test_equality_with_functions():
    q = Quarn()
    q.run([Statement.fn("f", func)])
    f = ident("f")
    assert panic_message(evaluate, Expr.equals(f, f), q) == "Cannot perform PartialEq for Value::Fn"
    assert panic_message(evaluate, Expr.equals(lit(1), f), q) == "Expected other item to be Value::Number"
    assert evaluate(Expr.equals(lit(None), f), q) is False


@pytest.mark.parametrize("value,expected", [(True, False), (False, True)])
def test_not_negates(value, expected):
    assert evaluate(Expr.not_(lit(value))) is expected
    assert evaluate(Expr.not_(Expr.not_(lit(value)))) is value


@pytest.mark.parametrize("value", [5, 0, None, "true", [True]])
def test_not_needs_boolean(value):
    assert panic_message(evaluate, Expr.not_(lit(value))) == "The not expression must be used on a boolean value"


# ---- evaluation order -------------------------------------------------------

def test_operands_are_evaluated_before_kind_checks():
    missing = 'Value cannot be found: S("missing")'
    for build in (lambda a, b: op(a, "+", b), Expr.equals, Expr.greater_than, Expr.less_than):
        assert panic_message(evaluate, build(lit(True), ident("missing"))) == missing


def test_calls_and_vector_items_run_in_order():
    seen = []

    def rec(x):
        seen.append(x)
        return x

    q = Quarn()
    q.run([Statement.fn("rec", rec)])
    items = [Expr.call("rec", lit(i)) for i in range(4)]
    assert evaluate(Expr.vector(items), q) == [0, 1, 2, 3]
    assert evaluate(op(Expr.call("rec", lit("l")), "+", Expr.call("rec", lit("r"))), q) == "lr"
    assert seen == [0, 1, 2, 3, "l", "r"]
    # a call of an unbound name evaluates its argument first
    del seen[:]
    assert panic_message(evaluate, Expr.call("nope", Expr.call("rec", lit(9))), q) == 'Value cannot be found: S("nope")'
    assert seen == [9]
    # a vector stops at the first failing item
    del seen[:]
    bad = Expr.vector([Expr.call("rec", lit(1)), Expr.call("rec", lit(2)), ident("gone"), Expr.call("rec", lit(4))])
    assert panic_message(evaluate, bad, q) == 'Value cannot be found: S("gone")'
    assert seen == [1, 2]


def test_call_of_non_function():
    q = Quarn()
    q.run([Statement.fn("f", func), let("f", lit(1))])
    assert panic_message(evaluate, Expr.call("f", lit(0)), q) == "called `Option::unwrap()` on a `None` value"


@pytest.mark.parametrize(
    "name,form",
    [("x", 'S("x")'), (3, "U(3)"), (2**64 - 1, "U(18446744073709551615)"), ("", 'S("")'),
     ('a"b\\c', r'S("a\"b\\c")'), ("l1\nl2\r\t\x00", r'S("l1\nl2\r\t\0")'), ("it's", 'S("it\'s")'),
     ("é", 'S("é")'), ("\x07", r'S("\u{7}")')],
)
def test_missing_name_message(name, form):
    assert panic_message(evaluate, ident(name)) == "Value cannot be found: " + form


# ---- structure of what the builders accept -----------------------------------

EXPR_PARAMS = [
    (lambda x: Expr.equals(x, lit(1)), "a"), (lambda x: Expr.equals(lit(1), x), "b"),
    (lambda x: Expr.greater_than(x, lit(1)), "a"), (lambda x: Expr.less_than(lit(1), x), "b"),
    (lambda x: Expr.not_(x), "item"), (lambda x: Expr.call("f", x), "args"),
    (lambda x: Statement.let("x", x), "pxpr"), (lambda x: Statement.if_(x, [], []), "pxpr"),
]


@pytest.mark.parametrize("build,param", EXPR_PARAMS)
@pytest.mark.parametrize("bad", [5, None, [lit(1)], "e"], ids=repr)
def test_expr_arguments(build, param, bad):
    tname = type(bad).__qualname__
    assert type_error(build, bad) == f"argument '{param}': '{tname}' object cannot be converted to 'Expr'"
    stmt = Statement.let("x", lit(1))
    assert type_error(build, stmt) == f"argument '{param}': 'Statement' object cannot be converted to 'Expr'"


LIST_PARAMS = [
    (Expr.vector, "items", "Expr", lambda: lit(1)),
    (lambda seq: Statement.if_(lit(True), seq, []), "then", "Statement", lambda: let("x", lit(1))),
    (lambda seq: Statement.if_(lit(True), [], seq), "otherwise", "Statement", lambda: let("x", lit(1))),
]


def _gen():
    yield lit(1)


@pytest.mark.parametrize("build,param,kind,good", LIST_PARAMS, ids=["items", "then", "otherwise"])
def test_list_arguments(build, param, kind, good):
    assert type_error(build, "ab") == f"argument '{param}': Can't extract `str` to `Vec`"
    assert type_error(build, "") == f"argument '{param}': Can't extract `str` to `Vec`"
    for bad in ({}, {good()}, _gen(), 5, good()):
        tname = type(bad).__qualname__
        assert type_error(build, bad) == f"argument '{param}': '{tname}' object cannot be converted to 'Sequence'"
    other = lit(1) if kind == "Statement" else let("x", lit(1))
    for items in ([good(), 1], [good(), other], (other,)):
        tname = type(items[-1]).__qualname__
        assert type_error(build, items) == f"argument '{param}': '{tname}' object cannot be converted to '{kind}'"
    for ok in ([], (), [good()], (good(), good())):
        built = build(ok)
        if kind == "Expr":
            assert evaluate(built) == [1] * len(ok)
        else:
            q = Quarn()
            q.run([built])
            ran = param == "then" and len(ok) > 0
            assert repr(q) == ('Machine { vars: {S("x"): Number(Int(1))} }' if ran else "Machine { vars: {} }")


class CallableObject:
    def __call__(self, x):
        return x

    def method(self, x):
        return x


@pytest.mark.parametrize(
    "item",
    [len, CallableObject().method, CallableObject, CallableObject(), functools.partial(func), print, 5],
    ids=lambda x: type(x).__qualname__,
)
def test_fn_needs_plain_function(item):
    tname = type(item).__qualname__
    assert type_error(Statement.fn, "f", item) == f"argument 'item': '{tname}' object cannot be converted to 'PyFunction'"


def test_fn_accepts_def_and_lambda_and_does_not_call():
    calls = []

    def f(x):
        calls.append(x)
        return x

    q = Quarn()
    q.run([Statement.fn("f", f), Statement.fn(7, lambda x: [x, x])])
    assert calls == []
    assert evaluate(Expr.call("f", lit(2)), q) == 2
    assert evaluate(Expr.call(7, lit("a")), q) == ["a", "a"]


def test_building_never_checks_meaning():
    # every tree is built; what is wrong with it shows only when it runs
    cases = [
        (Statement.let("n", Expr.not_(lit(5))), "The not expression must be used on a boolean value"),
        (Statement.let("c", Expr.call("nothing_binds_this", lit(1))),
         'Value cannot be found: S("nothing_binds_this")'),
        (Statement.let("", op(lit("a"), "*", lit(None))), "Binary operator for unknown type"),
        (Statement.if_(lit(3), [], []), "Expected deduced condition to be a bool, got other type"),
    ]
    for statement, message in cases:
        assert type(statement) is Statement
        assert panic_message(Quarn().run, [statement]) == message


def test_numbered_and_text_names_differ():
    q = Quarn()
    q.run([let(1, lit("num")), let("1", lit("text"))])
    assert (q.get(1), q.get("1"), q.get(True)) == ("num", "text", "num")


# ---- nothing built shares with or changes its arguments ----------------------

def test_arguments_are_copied_not_shared():
    e = op(lit(2), "*", lit(3))
    twice = Expr.equals(e, e)
    both = Expr.vector([e, e, e])
    items = [e, lit("z")]
    vec = Expr.vector(items)
    items.append(lit("late"))
    assert items[0] is e and len(items) == 3
    body = [let("a", e)]
    cond = Statement.if_(lit(True), body, [])
    body.append(let("b", e))
    q = Quarn()
    q.run([let("t", twice), let("v", both), let("w", vec), cond])
    assert q.get("t") is True
    assert q.get("v") == [6, 6, 6]
    assert q.get("w") == [6, "z"]
    assert q.get("a") == 6
    assert panic_message(q.get, "b") == 'Value cannot be found: S("b")'
    # the original objects are still whole and usable
    assert evaluate(e) == 6
    assert evaluate(twice) is True


def test_keyword_built_equals_positional():
    q = Quarn()
    q.run([Statement.let(pxpr=lit(4), ident="k"), Statement.let("p", lit(4))])
    assert q.get("k") == q.get("p") == 4
