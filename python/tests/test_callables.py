"""Python functions bound into Quarn programs."""

import re

import pytest

from velmo import Expr, Quarn, Statement
from conftest import (
    NOTES_DISPLAYED,
    DICT_ENUM_TEXT,
    REPORT,
    FUNCTION_IN_VECTOR,
    IS_PYPY,
    assert_clean,
    evaluate,
    ident,
    let,
    lit,
    panic_message,
    run_isolated,
)

PY_FAIL = "Failed while executing Python function with Quarn: "
WITH_GIL = "Failed to run Python::with_gil(...): "


def bound(fn, name="f"):
    q = Quarn()
    q.run([Statement.fn(name, fn)])
    return q


def call(q, arg, name="f"):
    return evaluate(Expr.call(name, arg), q)


@pytest.mark.parametrize(
    "result,expected",
    [(None, None), (True, True), (3, 3), (2.5, 2.5), ("x", "x"), ((1, "a"), [1, "a"]), ([], []),
     (b"A", [65]), (2**63, 9.223372036854775808e18), ([[None]], [[None]])],
    ids=repr,
)
def test_results_become_quarn_values(result, expected):
    got = call(bound(lambda _: result), lit(0))
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize(
    "arg,expected",
    [(lit(None), None), (lit(False), False), (lit(-4), -4), (lit(0.5), 0.5), (lit("é"), "é"),
     (Expr.vector([lit(1), lit(2)]), [1, 2]), (lit([1, [2.5]]), [1, [2.5]])],
    ids=["null", "bool", "int", "float", "str", "vector", "nested"],
)
def test_argument_arrives_as_one_python_value(arg, expected):
    received = []

    def f(*args, **kwargs):
        received.append((args, kwargs))
        return None

    call(bound(f), arg)
    [(args, kwargs)] = received
    assert kwargs == {} and len(args) == 1
    assert args[0] == expected and type(args[0]) is type(expected)


def test_result_that_fits_no_value():
    msg = panic_message(call, bound(lambda _: {}), lit(0))
    assert msg == WITH_GIL + "PyErr { type: <class 'TypeError'>, value: %s, traceback: None }" % repr(
        TypeError(DICT_ENUM_TEXT))


def raises_value_error(x):
    raise ValueError("bad input")


def test_python_exception_stops_the_run():
    q = bound(raises_value_error)
    prog = [let("before", lit(1)), let("r", Expr.call("f", lit(0))), let("after", lit(1))]
    msg = panic_message(q.run, prog)
    line = raises_value_error.__code__.co_firstlineno + 1
    # the traceback text, quoted: line feeds and double quotes escaped
    traceback = (
        'Traceback (most recent call last):\\n  File \\"%s\\", line %d, in raises_value_error\\n'
        '    raise ValueError(\\"bad input\\")\\n' % (__file__, line)
    )
    assert msg == PY_FAIL + (
        "PyErr { type: <class 'ValueError'>, value: ValueError('bad input'), traceback: Some(\"%s\") }" % traceback
    )
    assert q.get("before") == 1
    assert panic_message(q.get, "after") == 'Value cannot be found: S("after")'


# A Python function raising a hostile exception, run in a child: it prints
# the PanicException's message and what reached sys.unraisablehook.
HOSTILE_CHILD = """
import io
reported = []
# Whether the report names the object: a hook that formats it could fail again.
sys.unraisablehook = lambda u: reported.append(f"{type(u.exc_value).__name__}: {u.exc_value}, named: {u.object is not None}")
%s
q = Quarn()
q.run([Statement.fn("f", f)])
try:
    q.run([Statement.let("r", Expr.call("f", Expr.literal(0)))])
except BaseException as e:
    print(type(e).__name__)
    print(str(e))
    print(reported)
"""
# The frame of f, as the interpreter prints it for code given with -c.
TRACEBACK = r'Some\("Traceback \(most recent call last\):\\n  File \\"<string>\\", line \d+, in f\\n"\)'
UNFORMATTABLE = r"<unformattable <traceback object at 0x[0-9a-fA-F]+>>"

HOSTILE = {
    "repr-fails": (
        """
class ReprFails(Exception):
    def __repr__(self):
        raise RuntimeError("repr refused")
def f(_):
    raise ReprFails("x")
""",
        "<class '__main__.ReprFails'>", "<unprintable ReprFails object>", TRACEBACK,
        ["RuntimeError: repr refused, named: False"],
    ),
    "nested-class-repr-fails": (
        """
class Outer:
    class ReprFails(Exception):
        def __repr__(self):
            raise RuntimeError("repr refused")
def f(_):
    raise Outer.ReprFails("x")
""",
        "<class '__main__.Outer.ReprFails'>", "<unprintable ReprFails object>", TRACEBACK,
        ["RuntimeError: repr refused, named: False"],
    ),
    "type-repr-fails": (
        """
class Meta(type):
    def __repr__(cls):
        raise RuntimeError("type repr refused")
class Odd(Exception, metaclass=Meta):
    pass
def f(_):
    raise Odd("o")
""",
        "<unprintable Meta object>", "Odd('o')", TRACEBACK, ["RuntimeError: type repr refused, named: False"],
    ),
    "traceback-unformattable": (
        """
class Refusing:
    def write(self, text):
        raise OSError("sink refuses")
    def getvalue(self):
        return ""
io.StringIO = Refusing
def f(_):
    raise ValueError("v")
""",
        # CPython names the traceback object whose printing failed; PyPy cannot.
        "<class 'ValueError'>", "ValueError('v')", UNFORMATTABLE, [f"OSError: sink refuses, named: {not IS_PYPY}"],
    ),
}


@pytest.mark.parametrize("case", list(HOSTILE))
def test_hostile_exception_forms(case):
    code, type_text, value_text, traceback_pattern, reported = HOSTILE[case]
    proc = run_isolated(HOSTILE_CHILD % code)
    assert_clean(proc)
    kind, message, hook = proc.stdout.splitlines()
    assert kind == "PanicException"
    head = PY_FAIL + "PyErr { type: " + type_text + ", value: " + value_text + ", traceback: "
    assert message.startswith(head), message
    assert re.fullmatch(traceback_pattern + " }", message[len(head):]), message
    assert hook == repr(reported)


def test_function_value_is_not_passed_to_python():
    seen = []
    q = bound(lambda x: seen.append(x))
    q.run([Statement.fn("g", lambda x: x)])
    assert panic_message(call, q, ident("g")) == FUNCTION_IN_VECTOR
    assert panic_message(call, q, Expr.vector([lit(1), Expr.vector([ident("g")])])) == FUNCTION_IN_VECTOR
    assert seen == []


def test_repr_names_the_function_object():
    def f(x):
        return x

    q = Quarn()
    stmt = Statement.fn("f", f)
    q.run([stmt, Statement.fn("g", f)])
    text = repr(q)
    addresses = re.findall(r"Function\(PyQuarnFn \{ f: Py\((0x[0-9a-f]+)\) \}\)", text)
    assert len(addresses) == 2 and addresses[0] == addresses[1]
    if not IS_PYPY:
        assert addresses[0] == hex(id(f))
        assert repr(bound(f)) == 'Machine { vars: {S("f"): Function(PyQuarnFn { f: Py(%s) })} }' % hex(id(f))


def test_same_fn_statement_binds_copies_of_one_function():
    calls = []

    def f(x):
        calls.append(x)
        return len(calls)

    stmt = Statement.fn("f", f)
    a, b = Quarn(), Quarn()
    a.run([stmt])
    a.run([stmt])
    b.run([stmt])
    assert call(a, lit("a")) == 1
    assert call(b, lit("b")) == 2
    assert calls == ["a", "b"]


def test_function_rebinding_its_own_name_finishes():
    q = Quarn()

    def f(x):
        q.run([let("f", lit("replaced"))])
        return x * 2

    q.run([Statement.fn("f", f), let("r", Expr.call("f", lit(21)))])
    assert q.get("r") == 42
    assert q.get("f") == "replaced"


RESUMED = ["velmo: resuming a fatal error: a PanicException was fetched from Python", "Python stack trace below:"]


def _frame(fn, offset, source):
    """The two traceback lines of fn's statement at offset lines below its def."""
    return [f'  File "{__file__}", line {fn.__code__.co_firstlineno + offset}, in {fn.__name__}', "    " + source]


def _without_carets(lines):
    """The lines of a printed traceback but those that only underline a part
    of the line above (which parts CPython underlines differs by version)."""
    return [line for line in lines if not re.fullmatch(r"\s*[~^]+\s*", line)]


def test_resumed_panic_keeps_inner_message(capfd):
    q = Quarn()

    def nested_failure(_):
        q.run([let("inner", ident("nowhere"))])
        return 0

    q.run([Statement.fn("f", nested_failure)])
    capfd.readouterr()
    assert panic_message(call, q, lit(0)) == 'Value cannot be found: S("nowhere")'
    lines = _without_carets(capfd.readouterr().err.splitlines())
    # the inner failure's own report, then the notice instead of a second one
    assert REPORT.fullmatch(lines[0]).group(3) == 'Value cannot be found: S("nowhere")'
    assert lines[1:] == RESUMED + ["Traceback (most recent call last):"] + _frame(
        nested_failure, 1, 'q.run([let("inner", ident("nowhere"))])'
    ) + ['pyo3_runtime.PanicException: Value cannot be found: S("nowhere")'] + NOTES_DISPLAYED * ["at statement 0"]


def test_resumed_panic_raised_by_python(panic_type, capfd):
    def reraise(_):
        raise panic_type("made in python")

    capfd.readouterr()
    assert panic_message(call, bound(reraise), lit(0)) == "made in python"
    lines = _without_carets(capfd.readouterr().err.splitlines())
    assert lines == RESUMED + ["Traceback (most recent call last):"] + _frame(
        reraise, 1, 'raise panic_type("made in python")'
    ) + ["pyo3_runtime.PanicException: made in python"]

    class NoStr:
        def __str__(self):
            raise RuntimeError("no text")

    def unprintable(_):
        raise panic_type(NoStr())

    assert panic_message(call, bound(unprintable), lit(0)) == "Unwrapped panic from Python code"


def test_panic_in_repr_of_error_resumes():
    class ReprRunsQuarn(Exception):
        def __repr__(self):
            Quarn().get("nowhere")

    def fails(_):
        raise ReprRunsQuarn()

    assert panic_message(call, bound(fails), lit(0)) == 'Value cannot be found: S("nowhere")'
