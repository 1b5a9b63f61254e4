"""Small complete programs with the bindings they must leave behind."""

import pytest

from velmo import Expr, Quarn, Statement
from conftest import I64_MAX, ident, let, lit, op


def factorial_machine():
    """fact(n) = n * fact(n - 1), the recursion going through Python."""
    q = Quarn()
    n = ident("n")

    def fact(arg):
        q.run([
            let("n", lit(arg)),
            Statement.if_(
                Expr.less_than(n, lit(2)),
                [let("r", lit(1))],
                # n is read before the call rebinds it
                [let("r", op(n, "*", Expr.call("fact", op(n, "-", lit(1)))))],
            ),
        ])
        return q.get("r")

    q.run([Statement.fn("fact", fact)])
    return q


@pytest.mark.parametrize(
    "n,expected",
    [(0, 1), (1, 1), (5, 120), (10, 3628800), (20, 2432902008176640000), (21, -4249290049419214848)],
)
def test_factorial(n, expected):
    q = factorial_machine()
    q.run([let("result", Expr.call("fact", lit(n)))])
    assert q.get("result") == expected


def divisible(n, k):
    # no remainder operator: n - (n / k) * k == 0
    return Expr.equals(op(n, "-", op(op(n, "/", lit(k)), "*", lit(k))), lit(0))


FIZZBUZZ = [
    let("out", lit("")),
    Statement.if_(divisible(ident("n"), 3), [let("out", op(ident("out"), "+", lit("Fizz")))], []),
    Statement.if_(divisible(ident("n"), 5), [let("out", op(ident("out"), "+", lit("Buzz")))], []),
    Statement.if_(Expr.equals(ident("out"), lit("")), [let("out", ident("n"))], []),
    let("seen", Expr.vector([ident("seen"), ident("out")])),
]


def test_fizzbuzz():
    q = Quarn()
    q.run([let("seen", lit(None))])
    got = []
    for i in range(1, 16):
        q.run([let("n", lit(i))] + FIZZBUZZ)
        got.append(q.get("out"))
    assert got == [1, 2, "Fizz", 4, "Buzz", "Fizz", 7, 8, "Fizz", "Buzz", 11, "Fizz", 13, 14, "FizzBuzz"]
    # the history chain holds every answer, newest outermost
    chain, history = q.get("seen"), []
    while chain is not None:
        chain, last = chain
        history.append(last)
    assert history[::-1] == got


RATES = {"gold": 0.25, "silver": 0.1, "none": 0}


def pricing_program():
    sub, total = ident("subtotal"), ident("total")
    return [
        Statement.fn("rate", lambda pair: RATES[pair[0]] if pair[1] > 40 else 0),
        let("subtotal", op(ident("price"), "*", ident("qty"))),
        let("discount", Expr.call("rate", Expr.vector([ident("tier"), sub]))),
        let("total", op(sub, "-", op(sub, "*", ident("discount")))),
        Statement.if_(Expr.greater_than(total, lit(100)), [let("label", lit("large"))], [let("label", lit("small"))]),
        Statement.if_(Expr.less_than(total, lit(50)), [let("shipping", lit(4.99))], [let("shipping", lit(0))]),
        let("grand", op(total, "+", ident("shipping"))),
        let("summary", Expr.vector([ident("label"), op(lit("tier:"), "+", ident("tier"))])),
    ]


@pytest.mark.parametrize(
    "price,qty,tier,expected",
    [
        (12.5, 4, "gold", dict(subtotal=50.0, discount=0.25, total=37.5, label="small", shipping=4.99, grand=42.49)),
        (19.99, 3, "none", dict(subtotal=59.97, discount=0, total=59.97, label="small", shipping=0, grand=59.97)),
        (30.0, 8, "silver", dict(subtotal=240.0, discount=0.1, total=216.0, label="large", shipping=0, grand=216.0)),
        (5, 3, "gold", dict(subtotal=15, discount=0, total=15, label="small", shipping=4.99, grand=19.990000000000002)),
        (250, 1, "none", dict(subtotal=250, discount=0, total=250, label="large", shipping=0, grand=250)),
    ],
)
def test_pricing(price, qty, tier, expected):
    q = Quarn()
    q.run([let("price", lit(price)), let("qty", lit(qty)), let("tier", lit(tier))] + pricing_program())
    for name, value in expected.items():
        got = q.get(name)
        assert got == value and type(got) is type(value), name
    assert q.get("summary") == [expected["label"], "tier:" + tier]


def test_counter_overflow_wraps():
    q = Quarn()
    step = let("c", op(ident("c"), "+", lit(1)))
    q.run([let("c", lit(I64_MAX - 2))] + [step] * 4)
    assert q.get("c") == -(2**63) + 1
