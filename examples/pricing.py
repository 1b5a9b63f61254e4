"""Order pricing rules, written once as a Quarn program and run per order.

The rules are built from plain Python data as a syntax tree, a Python
function is bound for the shipping table, and the results are read back.
"""
from __future__ import annotations

import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING

from velmo import Expr, Quarn, Statement

if TYPE_CHECKING:  # aliases of the stub: what Quarn.get gives, what Expr.literal takes
    from velmo import Result, Value


@dataclass(frozen=True)
class Order:
    tier: str
    weight: float
    lines: list[tuple[float, int]]  # (unit price, quantity)


ORDERS = {
    "A-1001": Order("gold", 1.2, [(19.99, 2), (5.50, 4)]),
    "A-1002": Order("basic", 7.5, [(129.00, 1), (12.25, 2)]),
    "A-1003": Order("basic", 0.4, [(3.75, 3)]),
}


def lit(value: float | str) -> Expr:
    return Expr.literal(value)


def var(name: str) -> Expr:
    return Expr.ident(name)


def number(value: Result) -> float:
    """A number read back from Quarn; anything else is a broken rule."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"expected a number, got {value!r}")
    return value


def shipping(weight: Result) -> Value:
    """The carrier's table: a base fee, then a rate per started kilogram over two."""
    extra = max(0, int(number(weight) - 2 + 0.999))
    return 4.5 + 1.25 * extra


def rules() -> list[Statement]:
    """discount, shipping and total, from the order's variables."""
    big_order = Expr.greater_than(var("subtotal"), lit(100))
    gold = Expr.equals(var("tier"), lit("gold"))
    discounted = Expr.binary_op(var("subtotal"), "*", Expr.binary_op(lit(1), "-", var("discount")))
    return [
        Statement.fn("shipping", shipping),
        Statement.let("discount", lit(0.0)),
        Statement.if_(big_order,
                      [Statement.let("discount", lit(0.10))],
                      [Statement.if_(gold, [Statement.let("discount", lit(0.05))], [])]),
        Statement.let("shipping_fee", Expr.call("shipping", var("weight"))),
        Statement.let("total", Expr.binary_op(discounted, "+", var("shipping_fee"))),
    ]


def order_facts(order: Order) -> list[Statement]:
    """The order as bindings; the subtotal is an expression built from its lines."""
    subtotal = lit(0)
    for price, quantity in order.lines:
        subtotal = Expr.binary_op(subtotal, "+", Expr.binary_op(lit(price), "*", lit(quantity)))
    return [
        Statement.let("tier", lit(order.tier)),
        Statement.let("weight", lit(order.weight)),
        Statement.let("subtotal", subtotal),
    ]


def main() -> None:
    program = rules()
    print(f"{'order':8} {'tier':6} {'subtotal':>9} {'discount':>8} {'shipping':>8} {'total':>8}")
    for name, order in ORDERS.items():
        quarn = Quarn()
        quarn.run(order_facts(order) + program)
        print(f"{name:8} {quarn.get('tier')!s:6} {number(quarn.get('subtotal')):9.2f} "
              f"{number(quarn.get('discount')):8.0%} {number(quarn.get('shipping_fee')):8.2f} "
              f"{number(quarn.get('total')):8.2f}")
    sys.stdout.flush()  # the failure below also reports itself on standard error
    try:
        Quarn().run([Statement.let("x", Expr.binary_op(lit("ten"), "*", lit(3)))])
    except BaseException as error:  # PanicException derives from BaseException
        if type(error).__name__ != "PanicException":
            raise
        print(f"a rule that cannot run stops with {type(error).__name__}: {error}")


if __name__ == "__main__":
    main()
