"""Random Quarn programs, the Python functions they bind, and the comparison
of a machine with the reference model after running them.

The generator takes anything with the interface of `random.Random` (a seeded
one, or the one hypothesis hands out), so the seeded tests and the property
tests draw from the same space of programs.
"""

import math
import re
import struct

from velmo import Expr, Quarn, Statement
from conftest import DICT_ENUM_TEXT, IS_PYPY
from reference_model import I64_MAX, I64_MIN, Failure, Model

# ---- Python functions that programs bind ---------------------------------------
# Each raise spans its whole line, so the interpreter's traceback shows the
# line alone and the model can predict it.


def echo(x):
    return x


def kind_of(x):
    return type(x).__name__


def size(x):
    if isinstance(x, list):
        return len(x)
    raise TypeError(f"size of a {type(x).__name__}")


def refuse(x):
    raise ValueError(f"refused {x!r}")


def as_dict(x):
    return {"value": x}


def pair(x):
    return (x, [x, None])


def huge(x):
    return 2**63 + 2**11  # no 64-bit int: comes back as the nearest float


FUNCTIONS = [echo, kind_of, size, refuse, as_dict, pair, huge, lambda x: None]
UNCONVERTIBLE_RESULTS = {dict: DICT_ENUM_TEXT}

# ---- names and literals ------------------------------------------------------------

NAMES = [0, 1, True, False, "1", "x", "y", "", 'q"\\', "é\t", 2**64 - 1]

NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
INTS = [0, 1, -1, 2, -7, 3, I64_MAX, I64_MIN, I64_MAX - 1, I64_MIN + 1]
WIDE_INTS = [2**63, -(2**63) - 1, 2**64 + 1, 10**30]  # become floats
FLOATS = [0.0, -0.0, 1.5, -2.25, 0.1, 1e16, 1e-5, 0.0001, 5e-324, 1.7976931348623157e308,
          math.inf, -math.inf, math.nan, NEG_NAN, 9007199254740993.0]
TEXTS = ["", "a", "bc", 'say "hi"', "back\\slash", "it's", "tab\tnl\n\r", "nul\0", "bell\x07\x7f",
         "é", "中文", "\U0001f600"]


def new_model():
    return Model(UNCONVERTIBLE_RESULTS)


def gen_scalar(rng):
    pool = rng.choice([INTS, INTS, WIDE_INTS, FLOATS, FLOATS, TEXTS, [None, True, False]])
    return rng.choice(pool)


def gen_literal(rng, depth=2):
    if depth > 0 and rng.random() < 0.2:
        items = [gen_literal(rng, depth - 1) for _ in range(rng.randrange(4))]
        return tuple(items) if rng.random() < 0.3 else items
    return gen_scalar(rng)


class Generator:
    """Draws program parts from rng; names bound by the prelude are drawn
    more often than others, so that programs get past their lookups."""

    def __init__(self, rng):
        self.rng = rng
        self.values, self.functions = [], []

    def name(self, preferred):
        rng = self.rng
        return rng.choice(preferred) if preferred and rng.random() < 0.75 else rng.choice(NAMES)

    def number(self, depth):
        """Arithmetic over numbers, so that most such trees produce a value."""
        rng = self.rng
        if depth <= 0 or rng.random() < 0.35:
            if rng.random() < 0.15:
                return ("ident", self.name(self.values))
            return ("lit", rng.choice([rng.choice(INTS), rng.choice(FLOATS), rng.randint(-9, 9)]))
        return ("bin", self.number(depth - 1), rng.choice("+-*/"), self.number(depth - 1))

    def expr(self, depth):
        rng = self.rng
        if rng.random() < 0.3:
            return self.number(depth)
        if depth <= 0 or rng.random() < 0.3:
            return ("ident", self.name(self.values)) if rng.random() < 0.4 else ("lit", gen_literal(rng))
        kind = rng.choice(["bin", "eq", "not", "gt", "lt", "call", "call", "call", "vec"])
        sub = lambda: self.expr(depth - 1)  # noqa: E731
        if kind in ("bin", "gt", "lt") and rng.random() < 0.6:
            sub = lambda: self.number(depth - 1)  # noqa: E731
        if kind == "bin":
            if rng.random() < 0.15:
                return ("bin", self.text(), rng.choice("++++-*/"), self.text())
            return ("bin", sub(), rng.choice("+-*/"), sub())
        if kind == "not":
            return ("not", self.condition(depth - 1) if rng.random() < 0.7 else sub())
        if kind == "call":
            return ("call", self.name(self.functions), sub())
        if kind == "vec":
            return ("vec", [sub() for _ in range(rng.randrange(4))])
        return (kind, sub(), sub())

    def text(self):
        if self.rng.random() < 0.2:
            return ("ident", self.name(self.values))
        return ("lit", self.rng.choice(TEXTS))

    def condition(self, depth):
        """Mostly a boolean; sometimes anything at all."""
        rng = self.rng
        r = rng.random()
        if r < 0.2 or depth <= 0:
            return ("lit", rng.choice([True, False]))
        if r < 0.6:
            return (rng.choice(["gt", "lt", "eq"]), self.number(depth), self.number(depth))
        if r < 0.85:
            return ("not", self.condition(depth - 1))
        return self.expr(depth)

    def statement(self, depth):
        rng = self.rng
        r = rng.random()
        if r < 0.12:
            return ("fn", self.name(self.functions), rng.choice(FUNCTIONS))
        if r < 0.75 or depth <= 0:
            return ("let", self.name(self.values), self.expr(3))
        branch = lambda: [self.statement(depth - 1) for _ in range(rng.randrange(4))]  # noqa: E731
        return ("if", self.condition(2), branch(), branch())

    def prelude(self):
        """Bindings that later statements can use: values and functions."""
        rng = self.rng
        out = []
        for name in rng.sample(NAMES, rng.randrange(3, 9)):
            if rng.random() < 0.35:
                out.append(("fn", name, rng.choice(FUNCTIONS)))
                self.functions.append(name)
            else:
                out.append(("let", name, ("lit", gen_literal(rng))))
                self.values.append(name)
        return out

    def program(self, size=6):
        return [self.statement(2) for _ in range(self.rng.randrange(1, size + 1))]


def gen_case(rng):
    """A prelude and a program to run after it."""
    gen = Generator(rng)
    return gen.prelude(), gen.program()


# ---- the same program built with the module -------------------------------------


def build_expr(expr):
    kind, *args = expr
    if kind == "lit":
        return Expr.literal(args[0])
    if kind == "ident":
        return Expr.ident(args[0])
    if kind == "bin":
        return Expr.binary_op(build_expr(args[0]), args[1], build_expr(args[2]))
    if kind == "not":
        return Expr.not_(build_expr(args[0]))
    if kind == "call":
        return Expr.call(args[0], build_expr(args[1]))
    if kind == "vec":
        return Expr.vector([build_expr(item) for item in args[0]])
    make = {"eq": Expr.equals, "gt": Expr.greater_than, "lt": Expr.less_than}[kind]
    return make(build_expr(args[0]), build_expr(args[1]))


def build_statement(statement):
    kind, *args = statement
    if kind == "let":
        return Statement.let(args[0], build_expr(args[1]))
    if kind == "fn":
        return Statement.fn(args[0], args[1])
    return Statement.if_(build_expr(args[0]), build_program(args[1]), build_program(args[2]))


def build_program(statements):
    return [build_statement(s) for s in statements]


# ---- running and comparing ---------------------------------------------------------


def run_machine(q, program):
    """("ok", None) or ("panic", message)."""
    try:
        q.run(program)
    except BaseException as e:  # PanicException derives from BaseException
        if type(e).__name__ != "PanicException":
            raise
        return ("panic", str(e))
    return ("ok", None)


def run_model(model, program):
    try:
        model.run(program)
    except Failure as failure:
        return ("panic", failure.message)
    return ("ok", None)


def read_machine(q, name):
    try:
        return ("value", q.get(name))
    except TypeError as e:
        return ("type_error", str(e))
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        return ("panic", str(e))


def same(a, b):
    """Equal values of the same types; floats compared bit for bit."""
    if type(a) is not type(b):
        return False
    if type(a) in (list, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is float:
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


def address(py):
    # PyPy's object addresses are not its ids: placeholders on both sides.
    return "0x?" if IS_PYPY else hex(id(py))


def printed_entries(q):
    """The entries of repr(q), split with the help of the keys' own forms."""
    text = repr(q)
    if IS_PYPY:
        text = re.sub(r"Py\(0x[0-9a-f]+\)", "Py(0x?)", text)
    head, tail = "Machine { vars: {", "} }"
    assert text.startswith(head) and text.endswith(tail), text
    return text[len(head):-len(tail)]


def assert_repr_matches(q, model):
    body = printed_entries(q)
    remaining = set(model.entries(address))
    pos = 0
    while remaining:
        found = [e for e in remaining if body.startswith(e, pos)
                 and body[pos + len(e):pos + len(e) + 2] in (", ", "")]
        assert found, f"at {pos} of {body!r}, expected one of {sorted(remaining)}"
        remaining.discard(found[0])
        pos += len(found[0]) + (2 if remaining else 0)
    assert pos == len(body), f"unexpected entries: {body[pos:]!r}"


def assert_same_bindings(q, model, context=None):
    for name in NAMES:
        got, want = read_machine(q, name), model.get(name)
        assert got[0] == want[0] and same(got[1], want[1]), (name, got, want, context)
    assert_repr_matches(q, model)


def check_program(prelude, program, repeat=1):
    """Run prelude then program (repeat times) on a new machine and on the
    model; outcomes and the bindings left after each run must agree."""
    q, model = Quarn(), new_model()
    q.run(build_program(prelude))
    model.run(prelude)
    built = build_program(program)
    for _ in range(repeat):
        got, want = run_machine(q, built), run_model(model, program)
        assert got == want, (program, got, want)
        assert_same_bindings(q, model, program)
    return q
