"""Conversion of Python values and identifiers into Quarn and back."""

import math
import operator
import struct

import pytest

from velmo import Expr, Quarn, Statement
from conftest import (
    FUNCTION_IN_VECTOR,
    VALUE_ENUM_HEAD,
    I64_MAX,
    I64_MIN,
    IS_PYPY,
    assert_clean,
    host_error,
    ident_enum_text,
    lit,
    panic_message,
    roundtrip,
    run_isolated,
    value_enum_text,
)


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    def extra(self):
        return "extra"


class Index:
    def __init__(self, n):
        self.n = n

    def __repr__(self):
        return f"{type(self).__name__}({self.n})"

    def __index__(self):
        return self.n


class FloatLike:
    def __repr__(self):
        return "FloatLike()"

    def __float__(self):
        return 0.25


class IndexAndFloat(Index):
    def __float__(self):
        return 99.5


class IntOnly:
    def __int__(self):
        return 7


def bits(x):
    return struct.pack("<d", x)


@pytest.mark.parametrize(
    "value,expected,kind",
    [
        (None, None, type(None)),
        (True, True, bool),
        (False, False, bool),
        (1, 1, int),
        (0, 0, int),
        (-1, -1, int),
        (I64_MAX, I64_MAX, int),
        (I64_MIN, I64_MIN, int),
        (2**63, 9.223372036854775808e18, float),
        (I64_MIN - 1, -9.223372036854775808e18, float),
        (2**100, float(2**100), float),
        (1.0, 1.0, float),
        (2.5, 2.5, float),
        (-2.5, -2.5, float),
        ("abc", "abc", str),
        ("", "", str),
        ("é\x00\n\"'", "é\x00\n\"'", str),
        ("\U0001f600", "\U0001f600", str),
        ((1, "a", None), [1, "a", None], list),
        ([], [], list),
        ((), [], list),
        ([1, [2, [3.5, []]], "x"], [1, [2, [3.5, []]], "x"], list),
        (b"ab", [97, 98], list),
        (bytearray(b"\x00\xff"), [0, 255], list),
        (range(3), [0, 1, 2], list),
        (MyInt(5), 5, int),
        (MyFloat(1.5), 1.5, float),
        (MyStr("sub"), "sub", str),
        (Index(7), 7, int),
        (Index(-1), -1, int),
        (FloatLike(), 0.25, float),
        (IndexAndFloat(3), 3, int),
    ],
    ids=repr,
)
def test_value_round_trip(value, expected, kind):
    got = roundtrip(value)
    assert type(got) is kind
    assert got == expected
    if kind is list:
        assert type(got) is list


@pytest.mark.parametrize("x", [math.nan, -math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 1.7976931348623157e308])
def test_floats_keep_their_bits(x):
    got = roundtrip(x)
    assert type(got) is float
    assert bits(got) == bits(x)


def test_object_with_only_int_never_becomes_an_int():
    try:
        got = roundtrip(IntOnly())
    except TypeError as e:
        assert str(e).startswith("argument 'value': " + VALUE_ENUM_HEAD)
    else:
        assert type(got) is float


def _cpython(text):
    """Host texts are compared exactly on CPython; PyPy's own wording is left open."""
    return None if IS_PYPY else text


def _enum_matches(actual, expected_lines):
    """Compare line by line; a None placeholder in a line stands for any host text."""
    lines = actual.split("\n")
    assert len(lines) == len(expected_lines), actual
    for got, want in zip(lines, expected_lines):
        if isinstance(want, tuple):
            prefix, host = want
            assert got.startswith(prefix), (got, prefix)
            if host is not None:
                assert got == prefix + host
        else:
            assert got == want


def _value_lines(tname, *, string=None, i64=None, f64=None, vector=None):
    """Expected enum lines; I64/F64 causes are host texts (None = any)."""
    text = value_enum_text(tname, string=string, i64="\0", f64="\0", vector=vector)
    out = []
    for line in text.split("\n"):
        if line.endswith("\0"):
            host = i64 if "PyValue::I64" in line else f64
            out.append((line[:-1], host))
        else:
            out.append(line)
    return out


def _literal_error(value):
    with pytest.raises(TypeError) as info:
        Expr.literal(value)
    assert type(info.value) is TypeError
    msg = str(info.value)
    assert msg.startswith("argument 'value': ")
    return msg[len("argument 'value': "):]


@pytest.mark.parametrize("value", [{}, {1: 2}, set(), frozenset({1}), object(), 2**1024, -(2**1024), len])
def test_value_that_fits_no_variant(value):
    tname = type(value).__qualname__
    # an int out of range fails I64 with the overflow error of the C long conversion
    if isinstance(value, int):
        i64 = _cpython("OverflowError: Python int too large to convert to C long")
    else:
        i64 = _cpython(host_error(lambda: operator.index(value)))
    f64 = _cpython(host_error(lambda: math.sqrt(value)))
    text = _literal_error(value)
    _enum_matches(text, _value_lines(tname, i64=i64, f64=f64))
    if isinstance(value, int):
        assert "PyValue::I64.0, caused by OverflowError: " in text


def test_empty_dict_full_text():
    expected = (
        "failed to extract enum PyValue ('Null | Boolean | String | I64 | F64 | Vector')\n"
        "- variant Null (Null): TypeError: failed to extract field PyValue::Null.0, caused by TypeError: 'dict' object cannot be converted to 'NoneType'\n"
        "- variant Boolean (Boolean): TypeError: failed to extract field PyValue::Boolean.0, caused by TypeError: 'dict' object cannot be converted to 'PyBool'\n"
        "- variant String (String): TypeError: failed to extract field PyValue::String.0, caused by TypeError: 'dict' object cannot be converted to 'PyString'\n"
        "- variant I64 (I64): TypeError: failed to extract field PyValue::I64.0, caused by TypeError: 'dict' object cannot be interpreted as an integer\n"
        "- variant F64 (F64): TypeError: failed to extract field PyValue::F64.0, caused by TypeError: must be real number, not dict\n"
        "- variant Vector (Vector): TypeError: failed to extract field PyValue::Vector.0, caused by TypeError: 'dict' object cannot be converted to 'Sequence'"
    )
    actual = _literal_error({})
    if IS_PYPY:
        _enum_matches(actual, [line if "I64" not in line and "F64" not in line else (line.split("caused by")[0], None)
                               for line in expected.split("\n")])
    else:
        assert actual == expected


def test_nested_failure_carries_inner_enum_text():
    actual = _literal_error([1, {}])
    inner = _value_lines("dict", i64=_cpython(host_error(lambda: operator.index({}))),
                         f64=_cpython(host_error(lambda: math.sqrt({}))))
    outer = _value_lines("list", i64=_cpython(host_error(lambda: operator.index([]))),
                         f64=_cpython(host_error(lambda: math.sqrt([]))), vector="\1")
    # the Vector line of the outer text holds the inner text, starting with its head line
    assert outer[-1].endswith("\1")
    outer[-1] = outer[-1][:-1] + "TypeError: " + inner[0]
    _enum_matches(actual, outer + inner[1:])


def test_lone_surrogate():
    s = "a\ud800"
    encode = host_error(lambda: s.encode("utf-8"))
    lines = _value_lines(
        "str",
        string=_cpython(encode) or "\2",
        i64=_cpython(host_error(lambda: operator.index(s))),
        f64=_cpython(host_error(lambda: math.sqrt(s))),
        vector="TypeError: Can't extract `str` to `Vec`",
    )
    if IS_PYPY:
        lines = [(l[:-1], None) if isinstance(l, str) and l.endswith("\2") else l for l in lines]
    _enum_matches(_literal_error(s), lines)


def test_nothing_is_shared_with_python():
    inner = [2]
    outer = [1, inner]
    e = Expr.literal(outer)
    inner.append(3)
    outer.append(4)
    q = Quarn()
    q.run([Statement.let("x", e)])
    first = q.get("x")
    assert first == [1, [2]]
    first[1].append("changed")
    second = q.get("x")
    assert second == [1, [2]] and second is not first


HOSTILE_SEQUENCES = {
    "huge_len": "def __len__(self): return sys.maxsize",
    "len_raises": "def __len__(self): raise RuntimeError('no length')",
    "len_negative": "def __len__(self): return -5",
    "len_overflow": "def __len__(self): return 2**100",
    "len_too_small": "def __len__(self): return 0",
}


@pytest.mark.parametrize("case", sorted(HOSTILE_SEQUENCES))
def test_lying_length_is_only_a_hint(case):
    proc = run_isolated(
        f"""
        class Seq:
            {HOSTILE_SEQUENCES[case]}
            def __getitem__(self, i):
                if i >= 3: raise IndexError(i)
                return [1, 2.5, "c"][i]
            def __iter__(self):
                return iter([1, 2.5, "c"])
        q = Quarn()
        q.run([Statement.let("v", Expr.literal(Seq()))])
        print(q.get("v") == [1, 2.5, "c"])
        one = Expr.literal(1)
        class ExprSeq(Seq):
            def __iter__(self): return iter([one, one, one])
        q.run([Statement.let("w", Expr.vector(ExprSeq()))])
        print(q.get("w") == [1, 1, 1])
        stmt = Statement.let("z", one)
        class StmtSeq(Seq):
            def __iter__(self): return iter([stmt])
        q.run(StmtSeq())
        print(q.get("z") == 1)
        """
    )
    assert assert_clean(proc) == ["True", "True", "True"]


def test_iteration_that_raises():
    proc = run_isolated(
        """
        class Seq:
            def __len__(self): return 3
            def __getitem__(self, i): return i
            def __iter__(self):
                yield 1
                raise ValueError("iteration broke")
        try:
            Expr.literal(Seq())
        except TypeError as e:
            print(str(e).splitlines()[-1])
        """
    )
    assert_clean(proc)
    assert proc.stdout.strip() == (
        "- variant Vector (Vector): TypeError: failed to extract field PyValue::Vector.0, "
        "caused by ValueError: iteration broke"
    )


class Shifted:
    pass


def _shift_class(self):
    self.__class__ = Shifted
    raise ValueError("class changed")


@pytest.mark.parametrize("hook", ["__index__", "__float__"])
def test_mismatch_names_the_type_the_attempt_saw(hook):
    lines = _literal_error(type("Shifty", (), {hook: _shift_class})()).split("\n")
    for line, target in zip(lines[1:4], ["NoneType", "PyBool", "PyString"]):
        assert line.endswith(f"caused by TypeError: 'Shifty' object cannot be converted to '{target}'")
    assert lines[6].endswith("caused by TypeError: 'Shifted' object cannot be converted to 'Sequence'")


# ---- numpy's boolean scalars, recognised by module and name ----------------

def _numpy_like(name, module="numpy", **members):
    return type(name, (), {"__module__": module, **members})


def _true(self):
    return True


def _boolean_line(value):
    return _literal_error(value).split("\n")[2]


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_numpy_bool_converts_through_bool(name):
    assert roundtrip(_numpy_like(name, __bool__=_true)()) is True
    assert roundtrip(_numpy_like(name, __bool__=lambda self: False)()) is False


@pytest.mark.parametrize("module,name", [("numpy.core", "bool_"), ("numpy", "bool8"), ("", "bool")])
def test_only_numpy_bool_is_recognised(module, name):
    line = _boolean_line(_numpy_like(name, module, __bool__=_true)())
    assert line.endswith(f"caused by TypeError: '{name}' object cannot be converted to 'PyBool'")


def _raises_value_error(self):
    raise ValueError("no truth")


BOOLEAN_FIELD = "- variant Boolean (Boolean): TypeError: failed to extract field PyValue::Boolean.0, caused by "


@pytest.mark.parametrize(
    "members,cause",
    [
        ({}, "TypeError: object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
        ({"__bool__": _raises_value_error}, "ValueError: no truth"),
        ({"__bool__": lambda self: 1}, "TypeError: 'bool_' object cannot be converted to 'PyBool'"),
    ],
    ids=["missing", "raising", "not a bool"],
)
def test_numpy_bool_failures(members, cause):
    assert _boolean_line(_numpy_like("bool_", **members)()) == BOOLEAN_FIELD + cause


# ---- a Quarn failure inside a Python hook is never swallowed ---------------

NOWHERE = 'Value cannot be found: S("nowhere")'


def _fail_in_quarn(*_):
    Quarn().get("nowhere")  # raises PanicException


class PanicLength:
    """A sequence whose size hint runs a failing Quarn program."""

    __len__ = _fail_in_quarn

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


class PanicLookup(type):
    """Its classes run a failing Quarn program when asked for one attribute."""

    def __getattribute__(cls, name):
        if name == type.__getattribute__(cls, "panic_on"):
            _fail_in_quarn()
        return super().__getattribute__(name)


def _panic_on(attribute, name="C", module=__name__):
    return PanicLookup(name, (), {"panic_on": attribute, "__module__": module})()


class PanicText(Exception):
    __str__ = _fail_in_quarn


class IndexRaisesPanicText:
    def __index__(self):
        raise PanicText()


@pytest.mark.parametrize(
    "convert",
    [
        lambda: Expr.literal(PanicLength([1])),
        lambda: Expr.vector(PanicLength([lit(1)])),
        lambda: Quarn().run(PanicLength([])),
        lambda: Expr.literal(_panic_on("__qualname__")),
        lambda: Expr.literal(IndexRaisesPanicText()),
        lambda: Expr.literal(_panic_on("__module__", "bool_", "numpy")),
        lambda: Expr.literal(_panic_on("__bool__", "bool_", "numpy")),
    ],
    ids=["value length", "expr list length", "statement list length", "type name", "error text",
         "numpy module", "numpy __bool__"],
)
def test_panic_in_hook_resumes(convert):
    assert panic_message(convert) == NOWHERE


# ---- identifiers -----------------------------------------------------------

@pytest.mark.parametrize(
    "name,same_as",
    [(True, 1), (False, 0), (MyInt(4), 4), (Index(6), 6), (2**64 - 1, 2**64 - 1), (MyStr("s"), "s"), ("", "")],
    ids=repr,
)
def test_identifier_forms(name, same_as):
    q = Quarn()
    q.run([Statement.let(name, lit("bound"))])
    assert q.get(same_as) == "bound"


@pytest.mark.parametrize(
    "name,u_cause",
    [
        (-1, "OverflowError: can't convert negative int to unsigned"),
        (2**64, "OverflowError: int too big to convert"),
        (1.5, "TypeError: 'float' object cannot be interpreted as an integer"),
        (None, "TypeError: 'NoneType' object cannot be interpreted as an integer"),
        ([1], "TypeError: 'list' object cannot be interpreted as an integer"),
    ],
    ids=repr,
)
def test_identifier_that_fits_no_variant(name, u_cause):
    tname = type(name).__qualname__
    expected = ident_enum_text(u_cause, f"TypeError: '{tname}' object cannot be converted to 'PyString'")
    for call, param in ((lambda: Quarn().get(name), "ident"), (lambda: Expr.ident(name), "id"),
                        (lambda: Statement.let(name, lit(1)), "ident"), (lambda: Expr.call(name, lit(1)), "ident")):
        with pytest.raises(TypeError) as info:
            call()
        msg = str(info.value)
        head = f"argument '{param}': "
        assert msg.startswith(head)
        if IS_PYPY:
            got = msg[len(head):].split("\n")
            want = expected.split("\n")
            assert got[0] == want[0] and got[2] == want[2]
            assert got[1].startswith("- variant U (U): TypeError: failed to extract field PyIdentifier::U.0, caused by ")
        else:
            assert msg == head + expected


def test_identifier_lone_surrogate():
    with pytest.raises(TypeError) as info:
        Expr.ident("\ud800")
    lines = str(info.value).split("\n")
    assert lines[0] == "argument 'id': " + "failed to extract enum PyIdentifier ('U | S')"
    assert lines[2].startswith(
        "- variant S (S): TypeError: failed to extract field PyIdentifier::S.0, caused by UnicodeEncodeError: "
    )


# ---- Quarn functions have no Python image -----------------------------------

def _holder():
    def f(x):
        return x

    q = Quarn()
    q.run([
        Statement.fn("f", f),
        Statement.let("v", Expr.vector([lit(1), Expr.vector([Expr.ident("f")])])),
    ])
    return q


def test_function_value_cannot_be_read():
    q = _holder()
    with pytest.raises(TypeError) as info:
        q.get("f")
    assert str(info.value) == "Cannot convert a Rust trait to Python"
    assert panic_message(q.get, "v") == FUNCTION_IN_VECTOR
    # the binding is still usable afterwards
    q.run([Statement.let("r", Expr.call("f", lit(3)))])
    assert q.get("r") == 3
