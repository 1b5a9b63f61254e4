"""Order pricing rules, written once as a Quarn program and run per order.

The rules are built from plain Python data as a syntax tree, a Python
function is bound for the shipping table, and the results are read back.
"""
import sys

from velmo import Expr, Quarn, Statement

ORDERS = {
    "A-1001": {"tier": "gold", "weight": 1.2, "lines": [(19.99, 2), (5.50, 4)]},
    "A-1002": {"tier": "basic", "weight": 7.5, "lines": [(129.00, 1), (12.25, 2)]},
    "A-1003": {"tier": "basic", "weight": 0.4, "lines": [(3.75, 3)]},
}


def lit(value):
    return Expr.literal(value)


def var(name):
    return Expr.ident(name)


def op(a, symbol, b):
    return Expr.binary_op(a, symbol, b)


def shipping(weight):
    """The carrier's table: a base fee, then a rate per started kilogram over two."""
    extra = max(0, int(weight - 2 + 0.999))
    return 4.5 + 1.25 * extra


def rules():
    """subtotal, discount, shipping and total, from the order's variables."""
    big_order = Expr.greater_than(var("subtotal"), lit(100))
    gold = Expr.equals(var("tier"), lit("gold"))
    return [
        Statement.fn("shipping", shipping),
        Statement.let("discount", lit(0.0)),
        Statement.if_(big_order,
                      [Statement.let("discount", lit(0.10))],
                      [Statement.if_(gold, [Statement.let("discount", lit(0.05))], [])]),
        Statement.let("shipping_fee", Expr.call("shipping", var("weight"))),
        Statement.let("total", op(op(var("subtotal"), "*", op(lit(1), "-", var("discount"))),
                                  "+", var("shipping_fee"))),
    ]


def order_facts(order):
    """The order as bindings; the subtotal is an expression built from its lines."""
    subtotal = lit(0)
    for price, quantity in order["lines"]:
        subtotal = op(subtotal, "+", op(lit(price), "*", lit(quantity)))
    return [
        Statement.let("tier", lit(order["tier"])),
        Statement.let("weight", lit(order["weight"])),
        Statement.let("subtotal", subtotal),
    ]


def main():
    program = rules()
    print(f"{'order':8} {'tier':6} {'subtotal':>9} {'discount':>8} {'shipping':>8} {'total':>8}")
    for name, order in ORDERS.items():
        quarn = Quarn()
        quarn.run(order_facts(order) + program)
        print(f"{name:8} {quarn.get('tier'):6} {quarn.get('subtotal'):9.2f} "
              f"{quarn.get('discount'):8.0%} {quarn.get('shipping_fee'):8.2f} {quarn.get('total'):8.2f}")
    sys.stdout.flush()  # the failure below also reports itself on standard error
    try:
        Quarn().run([Statement.let("x", op(lit("ten"), "*", lit(3)))])
    except BaseException as error:  # PanicException derives from BaseException
        print(f"a rule that cannot run stops with {type(error).__name__}: {error}")


if __name__ == "__main__":
    main()
