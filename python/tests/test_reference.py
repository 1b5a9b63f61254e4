"""Random programs checked against a small reference evaluator written in Python.

Each seeded expression is evaluated by the module and by `reference()`; the
value read back, or the message of the failure, must agree exactly.
"""

import math
import random
import struct

import pytest

from velmo import Expr, Quarn, Statement
from conftest import I64_MAX, I64_MIN, panic_message


class Fail(Exception):
    pass


def wrap(n):
    return (n + 2**63) % 2**64 - 2**63


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def order_key(x):
    bits = struct.unpack("<q", struct.pack("<d", float(x)))[0]
    return bits ^ (2**63 - 1) if bits < 0 else bits


def ieee_div(a, b):
    if b != 0:
        return a / b
    if a == 0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def arithmetic(op, a, b):
    if isinstance(a, int) and isinstance(b, int):
        if op == "/":
            if b == 0:
                raise Fail("attempt to divide by zero")
            if a == I64_MIN and b == -1:
                raise Fail("attempt to divide with overflow")
            q = abs(a) // abs(b)
            return q if (a < 0) == (b < 0) else -q
        return wrap({"+": a + b, "-": a - b, "*": a * b}[op])
    a, b = float(a), float(b)
    if op == "/":
        return ieee_div(a, b)
    return {"+": a + b, "-": a - b, "*": a * b}[op]


def equals(a, b):
    if a is None:
        return b is None
    for kind, name in ((bool, "Boolean"), (str, "String"), (list, "Vector")):
        if type(a) is kind:
            if type(b) is not kind:
                raise Fail(f"Expected other item to be Value::{name}")
            if kind is list:
                return len(a) == len(b) and all(equals(x, y) for x, y in zip(a, b))
            return a == b
    if not is_number(b):
        raise Fail("Expected other item to be Value::Number")
    return type(a) is type(b) and a == b


def reference(node, names):
    kind, *args = node
    if kind == "lit":
        return args[0]
    if kind == "ident":
        if args[0] not in names:
            raise Fail(f'Value cannot be found: S("{args[0]}")')
        return names[args[0]]
    if kind == "vector":
        return [reference(item, names) for item in args[0]]
    if kind == "not":
        v = reference(args[0], names)
        if type(v) is not bool:
            raise Fail("The not expression must be used on a boolean value")
        return not v
    left, right = reference(args[0], names), reference(args[-1], names)
    if kind == "eq":
        return equals(left, right)
    if kind in ("gt", "lt"):
        if not (is_number(left) and is_number(right)):
            raise Fail("Both left-hand and right-hand side values must be a number")
        if isinstance(left, int) and isinstance(right, int):
            a, b = left, right
        else:
            a, b = order_key(left), order_key(right)
        return a > b if kind == "gt" else a < b
    op = args[1]
    if isinstance(left, str):
        if not isinstance(right, str):
            raise Fail("Binary operator for unknown type")
        if op != "+":
            raise Fail("Unknown binary operation for Value::String")
        return left + right
    if not (is_number(left) and is_number(right)):
        raise Fail("Binary operator for unknown type")
    return arithmetic(op, left, right)


LITERALS = [0, 1, -1, 7, -2, 3, I64_MAX, I64_MIN, 0.0, -0.0, 1.5, -2.25, math.inf, -math.inf,
            math.nan, 1e300, "", "a", "bc", True, False, None]
NAMES = {"x": 5, "y": 2.5, "s": "q", "flag": True, "v": [1, "a"]}


NUMBERS = [v for v in LITERALS if isinstance(v, (int, float)) and not isinstance(v, bool)]


def generate_numeric(rng, depth):
    """Arithmetic over numbers only, so that most trees produce a value."""
    if depth == 0 or rng.random() < 0.25:
        return ("ident", rng.choice(["x", "y"])) if rng.random() < 0.2 else ("lit", rng.choice(NUMBERS))
    return ("bin", generate_numeric(rng, depth - 1), rng.choice("+-*/"), generate_numeric(rng, depth - 1))


def generate(rng, depth):
    if rng.random() < 0.3:
        return generate_numeric(rng, depth)
    if depth == 0 or rng.random() < 0.25:
        if rng.random() < 0.3:
            return ("ident", rng.choice(list(NAMES) + ["missing"]))
        return ("lit", rng.choice(LITERALS))
    kind = rng.choice(["bin", "bin", "bin", "eq", "not", "gt", "lt", "vector"])
    if kind == "not":
        return ("not", generate(rng, depth - 1))
    if kind == "vector":
        return ("vector", [generate(rng, depth - 1) for _ in range(rng.randrange(3))])
    if kind == "bin":
        return ("bin", generate(rng, depth - 1), rng.choice("+-*/"), generate(rng, depth - 1))
    return (kind, generate(rng, depth - 1), generate(rng, depth - 1))


def build(node):
    kind, *args = node
    if kind == "lit":
        return Expr.literal(args[0])
    if kind == "ident":
        return Expr.ident(args[0])
    if kind == "vector":
        return Expr.vector([build(item) for item in args[0]])
    if kind == "not":
        return Expr.not_(build(args[0]))
    if kind == "bin":
        return Expr.binary_op(build(args[0]), args[1], build(args[2]))
    make = {"eq": Expr.equals, "gt": Expr.greater_than, "lt": Expr.less_than}[kind]
    return make(build(args[0]), build(args[1]))


def same(a, b):
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    return type(a) is type(b) and a == b


@pytest.fixture(scope="module")
def machine():
    q = Quarn()
    q.run([Statement.let(name, Expr.literal(value)) for name, value in NAMES.items()])
    return q


@pytest.mark.parametrize("seed", range(40))
def test_random_expressions_agree_with_reference(machine, seed):
    rng = random.Random(seed)
    for _ in range(25):
        node = generate(rng, 4)
        try:
            expected = ("value", reference(node, NAMES))
        except Fail as failure:
            expected = ("fails", str(failure))
        program = [Statement.let("r", build(node))]
        if expected[0] == "fails":
            assert panic_message(machine.run, program) == expected[1], node
        else:
            machine.run(program)
            assert same(machine.get("r"), expected[1]), node
