"""Conversion of Python values and identifiers into Quarn and back."""

import math
import os
import re
import struct

import pytest

from velmo import Expr, Quarn, Statement
from conftest import (
    DICT_ENUM_TEXT,
    REPORT,
    FUNCTION_IN_VECTOR,
    I64_MAX,
    I64_MIN,
    IS_PYPY,
    NEGATIVE_TO_UNSIGNED,
    TOO_BIG_FOR_UNSIGNED,
    assert_clean,
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
        (Index(2**100), float(2**100), float),  # too big for I64: F64 takes __index__, as on CPython
    ],
    ids=repr,
)
def test_value_round_trip(value, expected, kind):
    got = roundtrip(value)
    assert type(got) is kind
    assert got == expected
    assert _containers(got) == _containers(expected)  # every nested sequence comes back a list


def _containers(v):
    return [type(v), [_containers(item) for item in v]] if isinstance(v, (list, tuple)) else None


@pytest.mark.parametrize("x", [math.nan, -math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 1.7976931348623157e308])
def test_floats_keep_their_bits(x):
    got = roundtrip(x)
    assert type(got) is float
    assert bits(got) == bits(x)


def _literal_error(value):
    with pytest.raises(TypeError) as info:
        Expr.literal(value)
    assert type(info.value) is TypeError
    msg = str(info.value)
    assert msg.startswith("argument 'value': ")
    return msg[len("argument 'value': "):]


TOO_BIG_FOR_C_LONG = "OverflowError: Python int too large to convert to C long"


@pytest.mark.parametrize(
    "value,i64,f64",
    [
        ({}, None, None), ({1: 2}, None, None), (set(), None, None), (frozenset({1}), None, None),
        (object(), None, None), (len, None, None),
        (IntOnly(), None, None),  # __int__ alone is neither an index nor a float
        (2**1024, TOO_BIG_FOR_C_LONG, "OverflowError: int too large to convert to float"),
        (-(2**1024), TOO_BIG_FOR_C_LONG, "OverflowError: int too large to convert to float"),
        (Index(2**1024), TOO_BIG_FOR_C_LONG, "OverflowError: int too large to convert to float"),
    ],
    ids=repr,
)
def test_value_that_fits_no_variant(value, i64, f64):
    tname = type(value).__qualname__
    assert _literal_error(value) == value_enum_text(tname, i64=i64, f64=f64)


def test_empty_dict_full_text():
    assert _literal_error({}) == DICT_ENUM_TEXT


def test_nested_failure_carries_inner_enum_text():
    inner = value_enum_text("dict")
    assert _literal_error([1, {}]) == value_enum_text("list", vector="TypeError: " + inner)


def test_each_level_of_a_nested_failure_carries_the_one_below():
    text, value = value_enum_text("dict"), {}
    for tname in ("list", "tuple", "list"):
        text, value = value_enum_text(tname, vector="TypeError: " + text), [value] if tname == "list" else (value,)
    assert _literal_error(value) == text


def test_lone_surrogate():
    encoding = "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"
    expected = value_enum_text("str", string=encoding, vector="TypeError: Can't extract `str` to `Vec`")
    assert _literal_error("a\ud800") == expected


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
        ({"__bool__": lambda self: 1}, "TypeError: 'int' object cannot be converted to 'PyBool'"),
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
class Outer:
    class NoText(Exception):
        def __str__(self):
            raise RuntimeError("no text")


class _RefusesIteration:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise Outer.NoText()

    def __iter__(self):
        raise Outer.NoText()


def test_cause_without_text():
    # the display form names the type by its qualified name; str() failing
    # leaves a fixed text in its place
    assert _literal_error(_RefusesIteration()).splitlines()[-1] == (
        "- variant Vector (Vector): TypeError: failed to extract field PyValue::Vector.0, "
        "caused by Outer.NoText: <exception str() failed>"
    )


DEEP_VALUES = """
deep = 0
for _ in range(100_000):
    deep = [deep]
def report(label, fn):
    try:
        fn()
        print(label, "no error")
    except BaseException as e:
        print(label, type(e).__name__, str(e))
report("literal", lambda: Expr.literal([1, deep]))
q = Quarn()
q.run([Statement.fn("f", lambda _: deep)])
report("result", lambda: q.run([Statement.let("r", Expr.call("f", Expr.literal(0)))]))
q.run([Statement.let("after", Expr.literal([1, [2]]))])
print("after", q.get("after"))
"""


def test_too_deep_python_value_is_a_recursion_error():
    proc = run_isolated(DEEP_VALUES)
    assert_clean(proc)
    literal, result, after = proc.stdout.splitlines()
    # the recursion error ends the whole conversion, unprefixed
    assert literal.startswith("literal RecursionError maximum recursion depth exceeded")
    assert re.fullmatch(
        r"result PanicException Failed to run Python::with_gil\(\.\.\.\): PyErr \{ type: <class 'RecursionError'>, "
        r"value: RecursionError\('maximum recursion depth exceeded[^']*'\), traceback: None \}",
        result,
    ), result
    assert after == "after [1, [2]]"


OUT_OF_MEMORY = """
import resource
size = 64_000_000  # above the allocator's largest mmap threshold, so every copy maps its own
q = Quarn()
q.run([Statement.let("s", Expr.literal("x" * size))])
import gc
gc.collect()  # PyPy: let the Python text go before the address space is measured
def address_space():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024
# no room for Python's copy of the text
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + size // 2, hard))
try:
    q.get("s")
    print("no error")
except BaseException as e:
    print(type(e).__name__, str(e))
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(len(q.get("s")))
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer reserves the address space")
def test_python_refusing_to_make_an_object():
    proc = run_isolated(OUT_OF_MEMORY)
    assert_clean(proc)
    assert proc.stdout.splitlines() == ["PanicException Python API call failed", "64000000"]
    err = proc.stderr.splitlines()
    assert "MemoryError" in err[0]  # the interpreter's pending error, printed first
    assert REPORT.fullmatch(err[-1]).group(3) == "Python API call failed"


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer reserves the address space")
def test_machine_out_of_memory_raises_memory_error():
    # A text doubled until the address space runs out: the run stops with
    # the MemoryError Python raises for an allocation that fails, and the
    # machine keeps what it bound before.
    proc = run_isolated(
        """
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
        double = Statement.let("a", Expr.binary_op(Expr.ident("a"), "+", Expr.ident("a")))
        q = Quarn()
        try:
            q.run([Statement.let("a", Expr.literal("x"))] + [double] * 40)
        except MemoryError as e:
            print("MemoryError", e.__notes__[0].startswith("at statement "))
        q.run([Statement.let("after", Expr.literal(1))])
        print(q.get("after"), "a" in q)
        """
    )
    assert assert_clean(proc) == ["MemoryError", "True", "1", "True"]


# numpy's booleans convert through their type's __bool__. Without numpy, a
# type of that name made with the C API stands in for it (CPython only).
NUMPY_BOOL = """
import ctypes
api = ctypes.pythonapi

class Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]

class Spec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int), ("itemsize", ctypes.c_int),
                ("flags", ctypes.c_uint), ("slots", ctypes.POINTER(Slot))]

Py_tp_new, Py_TPFLAGS_DEFAULT = 65, 1 << 18
slots = (Slot * 2)((Py_tp_new, ctypes.cast(api.PyType_GenericNew, ctypes.c_void_p).value), (0, None))
api.PyType_FromSpec.restype = ctypes.py_object
api.PyType_FromSpec.argtypes = [ctypes.POINTER(Spec)]
bool_ = api.PyType_FromSpec(ctypes.byref(Spec(b"numpy.bool_", object.__basicsize__, 0, Py_TPFLAGS_DEFAULT, slots)))

def refuse(self):
    raise ValueError("no truth")

for truth in (None, lambda self: True, lambda self: False, lambda self: 1, refuse):
    if truth is not None:
        bool_.__bool__ = truth
    try:
        q = Quarn()
        q.run([Statement.let("x", Expr.literal(bool_()))])
        print(repr(q.get("x")))
    except TypeError as e:
        print(str(e).splitlines()[2])
"""


@pytest.mark.skipif(IS_PYPY, reason="makes its stand-in type through ctypes.pythonapi")
def test_numpy_booleans():
    proc = run_isolated(NUMPY_BOOL)
    assert_clean(proc)
    boolean = "- variant Boolean (Boolean): TypeError: failed to extract field PyValue::Boolean.0, caused by "
    assert proc.stdout.splitlines() == [
        boolean + "TypeError: object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
        "True",
        "False",
        boolean + "TypeError: 'int' object cannot be converted to 'PyBool'",
        boolean + "ValueError: no truth",
    ]


class _HidesItsName(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Nameless(metaclass=_HidesItsName):
    pass


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: Expr.not_(Nameless()), "argument 'item': '<failed to extract type name>' object cannot be converted to 'Expr'"),
        (lambda: Statement.fn("f", Nameless()),
         "argument 'item': '<failed to extract type name>' object cannot be converted to 'PyFunction'"),
        (lambda: Quarn().run(Nameless()),
         "argument 'stmts': '<failed to extract type name>' object cannot be converted to 'Sequence'"),
        (lambda: Expr.literal(Nameless()), "argument 'value': " + value_enum_text(
            "<failed to extract type name>", i64="TypeError: 'Nameless' object cannot be interpreted as an integer",
            f64="TypeError: must be real number, not Nameless")),
    ],
    ids=["Expr", "PyFunction", "Sequence", "value"],
)
def test_type_whose_name_cannot_be_read(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


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
        (-1, NEGATIVE_TO_UNSIGNED),
        (2**64, TOO_BIG_FOR_UNSIGNED),
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
                        (lambda: Statement.let(name, lit(1)), "ident"), (lambda: Expr.call(name, lit(1)), "ident"),
                        (lambda: Statement.fn(name, lambda x: x), "ident")):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"argument '{param}': " + expected


def test_identifier_lone_surrogate():
    with pytest.raises(TypeError) as info:
        Expr.ident("\ud800")
    assert str(info.value) == "argument 'id': " + ident_enum_text(
        "TypeError: 'str' object cannot be interpreted as an integer",
        "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed",
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
