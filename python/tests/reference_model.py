"""A reference interpreter for Quarn programs, written from the language's
documented behaviour in plain Python, to check the module against.

It shares nothing with the C++ evaluator: programs are nested tuples, Quarn
values are ordinary Python objects, and every rule is written out as the
language describes it. A run changes a `Model`'s bindings in place and stops
with `Failure(message)` where the machine raises `PanicException`, so that
what a failed run leaves behind can be compared too.

Programs:
    statements  ("let", name, expr) | ("if", cond, then, otherwise) | ("fn", name, function)
    expressions ("lit", python_value) | ("ident", name) | ("bin", left, op, right)
                | ("eq", left, right) | ("not", operand) | ("gt", left, right)
                | ("lt", left, right) | ("call", name, argument) | ("vec", [items])

Quarn values: None (Null), bool (Boolean), str (String), int (Int, always
within 64 bits), float (Float), tuple (Vector) and `Function`.
"""

import math
import struct
import traceback

I64_MIN = -(2**63)
I64_MAX = 2**63 - 1

FUNCTION_IN_VECTOR = (
    "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'TypeError'>, "
    "value: TypeError('Cannot convert a Rust trait to Python'), traceback: None }"
)
PY_FAIL = "Failed while executing Python function with Quarn: "
WITH_GIL = "Failed to run Python::with_gil(...): "


class Failure(Exception):
    """The run stops; `message` is what PanicException must carry."""

    @property
    def message(self):
        return self.args[0]


class Unconvertible(Exception):
    """A Python object that has no Quarn image."""


class Function:
    """A bound Python function, as a Quarn value."""

    def __init__(self, py):
        self.py = py


def is_int(v):
    return type(v) is int


def is_number(v):
    return type(v) in (int, float)


def wrap(n):
    """Two's complement wrap-around to 64 bits."""
    return (n - I64_MIN) % 2**64 + I64_MIN


# ---- names -------------------------------------------------------------------

def name_key(name):
    """A Python name as the machine keys it: numbered (bools too) or textual."""
    return ("U", int(name)) if isinstance(name, int) else ("S", name)


def quoted(text):
    out = ['"']
    for ch in text:
        special = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}
        if ch in special:
            out.append(special[ch])
        elif ch.isprintable():
            out.append(ch)
        else:
            out.append("\\u{%x}" % ord(ch))
    out.append('"')
    return "".join(out)


def key_form(key):
    kind, payload = key
    return f"U({payload})" if kind == "U" else f"S({quoted(payload)})"


def not_found(name):
    return "Value cannot be found: " + key_form(name_key(name))


# ---- printed forms of values ---------------------------------------------------

def float_form(x):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    # repr() gives the shortest digits that read back as x, written plainly
    # exactly in the range that Quarn writes plainly too.
    text = repr(x)
    if x == 0 or 1e-4 <= abs(x) < 1e16:
        return text
    mantissa, exponent = text.split("e")
    return f"{mantissa}e{int(exponent)}"


def value_form(v, address):
    if v is None:
        return "Null"
    if type(v) is bool:
        return "Boolean(true)" if v else "Boolean(false)"
    if type(v) is str:
        return f"String({quoted(v)})"
    if type(v) is int:
        return f"Number(Int({v}))"
    if type(v) is float:
        return f"Number(Float({float_form(v)}))"
    if type(v) is tuple:
        return "Vector([" + ", ".join(value_form(e, address) for e in v) + "])"
    return f"Function(PyQuarnFn {{ f: Py({address(v.py)}) }})"


# ---- conversion at the Python boundary ----------------------------------------

def from_python(obj):
    """The Quarn value of a Python object, trying None, bool, str, int, float
    and sequences in that order."""
    if obj is None:
        return None
    if type(obj) is bool:
        return obj
    if isinstance(obj, str):
        return str(obj)
    if isinstance(obj, int):
        if I64_MIN <= obj <= I64_MAX:
            return int(obj)
        try:
            return float(obj)  # the nearest double
        except OverflowError:
            raise Unconvertible(obj) from None
    if isinstance(obj, float):
        return float(obj)
    if isinstance(obj, (list, tuple)):
        return tuple(from_python(item) for item in obj)
    raise Unconvertible(obj)


def to_python(v):
    """The Python image of a Quarn value; a function has none."""
    if isinstance(v, Function):
        raise Unconvertible(v)
    if type(v) is tuple:
        return [to_python(e) for e in v]
    return v


# ---- operations -----------------------------------------------------------------

def equals(a, b):
    """Value equality; the left operand decides which rule applies."""
    if a is None:
        return b is None
    if isinstance(a, Function):
        raise Failure("Cannot perform PartialEq for Value::Fn")
    for kind, label in ((bool, "Boolean"), (str, "String"), (tuple, "Vector")):
        if type(a) is kind:
            if type(b) is not kind:
                raise Failure(f"Expected other item to be Value::{label}")
            if kind is tuple:
                return len(a) == len(b) and all(equals(x, y) for x, y in zip(a, b))
            return a == b
    if not is_number(b):
        raise Failure("Expected other item to be Value::Number")
    return type(a) is type(b) and a == b


def total_order_key(x):
    """Position of a double in the IEEE 754 total order, as an integer."""
    bits = struct.unpack("<q", struct.pack("<d", x))[0]
    return bits ^ I64_MAX if bits < 0 else bits


def compare(a, b):
    """-1, 0 or 1; two ints compare as integers, anything else as doubles in
    the total order."""
    if not (is_number(a) and is_number(b)):
        raise Failure("Both left-hand and right-hand side values must be a number")
    if not (is_int(a) and is_int(b)):
        a, b = total_order_key(float(a)), total_order_key(float(b))
    return (a > b) - (a < b)


def ieee_divide(a, b):
    """Division by zero gives an infinity, or a NaN for 0/0 and NaN/0 (the
    processor's NaN of an invalid operation, whose sign bit matters to the
    total order)."""
    if b != 0 or math.isnan(a):
        return a / b if b != 0 else a
    if a == 0:
        return math.inf - math.inf
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def arithmetic(a, op, b):
    if type(a) is str:
        if type(b) is not str:
            raise Failure("Binary operator for unknown type")
        if op != "+":
            raise Failure("Unknown binary operation for Value::String")
        return a + b
    if not (is_number(a) and is_number(b)):
        raise Failure("Binary operator for unknown type")
    if is_int(a) and is_int(b):
        if op == "/":
            if b == 0:
                raise Failure("attempt to divide by zero")
            if a == I64_MIN and b == -1:
                raise Failure("attempt to divide with overflow")
            quotient = abs(a) // abs(b)
            return quotient if (a < 0) == (b < 0) else -quotient
        return wrap(a + b if op == "+" else a - b if op == "-" else a * b)
    a, b = float(a), float(b)
    if op == "/":
        return ieee_divide(a, b)
    return a + b if op == "+" else a - b if op == "-" else a * b


# ---- errors of Python functions -------------------------------------------------

def pyerr(type_text, value_text, traceback_text):
    return f"PyErr {{ type: {type_text}, value: {value_text}, traceback: {traceback_text} }}"


def raised_by(exc):
    """The message of a Python function that raised exc; the frames are those
    below the model's own call."""
    frames = traceback.extract_tb(exc.__traceback__)[1:]
    text = "Traceback (most recent call last):\n" + "".join(
        f'  File "{f.filename}", line {f.lineno}, in {f.name}\n    {f.line.strip()}\n' for f in frames
    )
    return PY_FAIL + pyerr(repr(type(exc)), repr(exc), f"Some({quoted(text)})")


# ---- the machine --------------------------------------------------------------

class Model:
    """Bindings of one machine, and the rules that run programs on it.

    `unconvertible_results` maps a Python type to the exact enum text of the
    TypeError that a function result of that type produces.
    """

    def __init__(self, unconvertible_results=None):
        self.vars = {}
        self.unconvertible_results = unconvertible_results or {}

    def run(self, statements):
        for statement in statements:
            self.execute(statement)

    def execute(self, statement):
        kind = statement[0]
        if kind == "let":
            _, name, expr = statement
            value = self.evaluate(expr)
            self.vars[name_key(name)] = value
        elif kind == "fn":
            _, name, function = statement
            self.vars[name_key(name)] = Function(function)
        else:
            _, cond, then, otherwise = statement
            choice = self.evaluate(cond)
            if type(choice) is not bool:
                raise Failure("Expected deduced condition to be a bool, got other type")
            self.run(then if choice else otherwise)

    def lookup(self, name):
        try:
            return self.vars[name_key(name)]
        except KeyError:
            raise Failure(not_found(name)) from None

    def evaluate(self, expr):
        kind, *args = expr
        if kind == "lit":
            return from_python(args[0])
        if kind == "ident":
            return self.lookup(args[0])
        if kind == "vec":
            return tuple(self.evaluate(item) for item in args[0])
        if kind == "not":
            operand = self.evaluate(args[0])
            if type(operand) is not bool:
                raise Failure("The not expression must be used on a boolean value")
            return not operand
        if kind == "call":
            name, argument = args
            value = self.evaluate(argument)
            function = self.lookup(name)
            if not isinstance(function, Function):
                raise Failure("called `Option::unwrap()` on a `None` value")
            return self.call(function.py, value)
        left = self.evaluate(args[0])
        right = self.evaluate(args[-1])
        if kind == "eq":
            return equals(left, right)
        if kind == "gt":
            return compare(left, right) > 0
        if kind == "lt":
            return compare(left, right) < 0
        return arithmetic(left, args[1], right)

    def call(self, py, value):
        try:
            argument = to_python(value)
        except Unconvertible:
            raise Failure(FUNCTION_IN_VECTOR) from None
        try:
            result = py(argument)
        except Exception as exc:  # noqa: BLE001 - what the function raised is the outcome
            raise Failure(raised_by(exc)) from None
        try:
            return from_python(result)
        except Unconvertible:
            text = self.unconvertible_results[type(result)]
            raise Failure(WITH_GIL + pyerr("<class 'TypeError'>", repr(TypeError(text)), "None")) from None

    # ---- what Python reads back ----

    def get(self, name):
        """("value", python object) or ("panic", message) or ("type_error", message)."""
        key = name_key(name)
        if key not in self.vars:
            return ("panic", not_found(name))
        value = self.vars[key]
        if isinstance(value, Function):
            return ("type_error", "Cannot convert a Rust trait to Python")
        try:
            return ("value", to_python(value))
        except Unconvertible:
            return ("panic", FUNCTION_IN_VECTOR)

    def entries(self, address):
        """The machine's printed entries, in no particular order."""
        return [f"{key_form(k)}: {value_form(v, address)}" for k, v in self.vars.items()]
