"""Quarn in plain Python: a tree walker over programs written as nested tuples.

This is the honest pure-Python alternative that velmo is measured against:
the same semantics for values, arithmetic, kind checks, conditions and
callbacks, written as a user would write it, with a fast path for the common
integer case and nothing clever beyond that.

Expressions                       Statements
    ("lit", value)                    ("let", name, expr)
    ("id", name)                      ("if", condition, then, otherwise)
    ("op", "+" | "-" | "*" | "/", a, b)  ("fn", name, python_function)
    ("eq", a, b), ("gt", a, b), ("lt", a, b), ("not", a)
    ("call", name, argument), ("vec", (item, ...))

Values are None, bool, int (signed 64-bit, wrapping), float, str, tuples of
values (vectors) and Fn (a bound Python function). Names are str or int.
"""
import math
import struct

INT_MIN, INT_MAX = -(1 << 63), (1 << 63) - 1
HARDWARE_NAN = math.inf - math.inf  # the processor's own NaN, sign bit included
KINDS = {bool: "Boolean", str: "String", int: "Number", float: "Number", tuple: "Vector"}


class QuarnError(Exception):
    """A program failed while running; the message says why."""


class Fn:
    __slots__ = ("f",)

    def __init__(self, f):
        self.f = f


def wrap(n):
    return ((n - INT_MIN) & 0xFFFF_FFFF_FFFF_FFFF) + INT_MIN


def name_form(name):
    if type(name) is int:
        return "U(%d)" % name
    return 'S("%s")' % name.replace("\\", "\\\\").replace('"', '\\"')


def lookup(env, name):
    try:
        return env[name]
    except KeyError:
        raise QuarnError("Value cannot be found: " + name_form(name)) from None


def arith(op, a, b):
    ta, tb = type(a), type(b)
    if ta is str:
        if tb is not str:
            raise QuarnError("Binary operator for unknown type")
        if op != "+":
            raise QuarnError("Unknown binary operation for Value::String")
        return a + b
    if ta not in (int, float) or tb not in (int, float):
        raise QuarnError("Binary operator for unknown type")
    if ta is int and tb is int:
        if op == "/":
            if b == 0:
                raise QuarnError("attempt to divide by zero")
            if a == INT_MIN and b == -1:
                raise QuarnError("attempt to divide with overflow")
            q = abs(a) // abs(b)
            return q if (a < 0) == (b < 0) else -q
        r = a + b if op == "+" else a - b if op == "-" else a * b
        return r if INT_MIN <= r <= INT_MAX else wrap(r)
    a, b = float(a), float(b)
    if op == "+":
        return a + b
    if op == "-":
        return a - b
    if op == "*":
        return a * b
    if b == 0.0:  # IEEE division, which Python refuses
        return HARDWARE_NAN if a == 0.0 else a if a != a else math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def total_order(x):
    i = struct.unpack("<q", struct.pack("<d", float(x)))[0]
    return i ^ INT_MAX if i < 0 else i


def less(a, b):
    if type(a) is int and type(b) is int:
        return a < b
    if type(a) is float and type(b) is float:
        # The total order agrees with Python's < wherever the two values are
        # ordered and differ; equal values (-0.0 and 0.0) and NaN go below.
        if a < b:
            return True
        if b < a:
            return False
    if type(a) not in (int, float) or type(b) not in (int, float):
        raise QuarnError("Both left-hand and right-hand side values must be a number")
    return total_order(a) < total_order(b)


def equals(a, b):
    if a is None:
        return b is None
    kind = KINDS.get(type(a))
    if kind is None:
        raise QuarnError("Cannot perform PartialEq for Value::Fn")
    if KINDS.get(type(b)) != kind:
        raise QuarnError("Expected other item to be Value::" + kind)
    if kind == "Number":
        return type(a) is type(b) and a == b
    if kind == "Vector":
        return len(a) == len(b) and all(equals(x, y) for x, y in zip(a, b))
    return a == b


def to_python(v):
    if type(v) is tuple:
        return [to_python(x) for x in v]
    if type(v) is Fn:
        raise TypeError("a function has no Python value")
    return v


def from_python(v):
    t = type(v)
    if t is int:
        return v if INT_MIN <= v <= INT_MAX else float(v)
    if v is None or t is bool or t is float or t is str:
        return v
    if isinstance(v, (list, tuple)):
        return tuple(from_python(x) for x in v)
    raise QuarnError("a %s cannot become a Quarn value" % t.__name__)


def call(env, name, argument):
    fn = lookup(env, name)
    if type(fn) is not Fn:
        raise QuarnError("called `Option::unwrap()` on a `None` value")
    try:
        result = fn.f(to_python(argument))
    except Exception as exc:
        raise QuarnError("Failed while executing Python function with Quarn: %r" % exc) from exc
    return from_python(result)


def evaluate(e, env):
    tag = e[0]
    if tag == "op":
        a = evaluate(e[2], env)
        b = evaluate(e[3], env)
        if type(a) is int and type(b) is int and e[1] == "+":
            r = a + b
            return r if INT_MIN <= r <= INT_MAX else wrap(r)
        return arith(e[1], a, b)
    if tag == "lit":
        return e[1]
    if tag == "id":
        try:
            return env[e[1]]
        except KeyError:
            raise QuarnError("Value cannot be found: " + name_form(e[1])) from None
    if tag == "lt":
        return less(evaluate(e[1], env), evaluate(e[2], env))
    if tag == "gt":
        a = evaluate(e[1], env)
        return less(evaluate(e[2], env), a)
    if tag == "call":
        return call(env, e[1], evaluate(e[2], env))
    if tag == "eq":
        a = evaluate(e[1], env)
        return equals(a, evaluate(e[2], env))
    if tag == "not":
        v = evaluate(e[1], env)
        if type(v) is not bool:
            raise QuarnError("The not expression must be used on a boolean value")
        return not v
    return tuple([evaluate(item, env) for item in e[1]])


def execute(statements, env):
    for s in statements:
        tag = s[0]
        if tag == "let":
            env[s[1]] = evaluate(s[2], env)
        elif tag == "if":
            condition = evaluate(s[1], env)
            if type(condition) is not bool:
                raise QuarnError("Expected deduced condition to be a bool, got other type")
            execute(s[2] if condition else s[3], env)
        else:
            env[s[1]] = Fn(s[2])


class Walker:
    """A machine: a dict of variables that programs run against."""

    def __init__(self):
        self.vars = {}

    def run(self, statements):
        execute(statements, self.vars)

    def update(self, bindings):
        """Binds every (name, value) of a dict or of an iterable of pairs,
        each value converted as a literal's is, all of them before any is
        bound."""
        pairs = bindings.items() if isinstance(bindings, dict) else bindings
        self.vars.update([(name, from_python(value)) for name, value in pairs])

    def get(self, name):
        return to_python(lookup(self.vars, name))
