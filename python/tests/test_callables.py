"""Python functions bound into Quarn programs."""

import re

import pytest

from velmo import Expr, Quarn, Statement
from conftest import (
    FUNCTION_IN_VECTOR,
    IS_PYPY,
    assert_clean,
    evaluate,
    ident,
    let,
    lit,
    panic_message,
    run_isolated,
    value_enum_text,
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
    assert msg.startswith(WITH_GIL + "PyErr { type: <class 'TypeError'>, value: TypeError(")
    assert msg.endswith("), traceback: None }")
    value = msg[len(WITH_GIL + "PyErr { type: <class 'TypeError'>, value: "):-len(", traceback: None }")]
    if not IS_PYPY:
        import math as m, operator

        text = value_enum_text("dict", i64=_err(lambda: operator.index({})), f64=_err(lambda: m.sqrt({})))
        assert value == repr(TypeError(text))
    else:
        assert "failed to extract enum PyValue" in value and "'dict' object cannot be converted to 'Sequence'" in value


def _err(fn):
    try:
        fn()
    except Exception as e:
        return f"{type(e).__qualname__}: {e}"


def raises_value_error(x):
    raise ValueError("bad input")


def test_python_exception_stops_the_run():
    q = bound(raises_value_error)
    prog = [let("before", lit(1)), let("r", Expr.call("f", lit(0))), let("after", lit(1))]
    msg = panic_message(q.run, prog)
    head = PY_FAIL + "PyErr { type: <class 'ValueError'>, value: ValueError('bad input'), traceback: Some(\""
    assert msg.startswith(head)
    assert msg.endswith('") }')
    tb = msg[len(head):-len('") }')]
    assert "\n" not in tb
    assert tb.startswith("Traceback (most recent call last):\\n")
    assert "raises_value_error" in tb and "test_callables.py" in tb
    assert q.get("before") == 1
    assert panic_message(q.get, "after") == 'Value cannot be found: S("after")'


def test_exception_whose_repr_fails():
    # hostile exception: run apart, a crash must fail only this test
    proc = run_isolated(
        """
        def make():
            class ReprFails(Exception):
                def __repr__(self):
                    raise RuntimeError("repr refused")
            return ReprFails
        ReprFails = make()
        def f(_):
            raise ReprFails("x")
        reported = []
        # a hook that formats the object would fail on it again: it is not named
        sys.unraisablehook = lambda u: reported.append((type(u.exc_value).__name__, u.object is None))
        q = Quarn()
        q.run([Statement.fn("f", f)])
        try:
            q.run([Statement.let("r", Expr.call("f", Expr.literal(0)))])
        except BaseException as e:
            print(type(e).__name__, reported)
            print(str(e).startswith(
                "Failed while executing Python function with Quarn: PyErr { type: "
                "<class '__main__.make.<locals>.ReprFails'>, value: <unprintable ReprFails object>, traceback: Some("))
        """
    )
    assert_clean(proc)
    assert proc.stdout.splitlines() == ["PanicException [('RuntimeError', True)]", "True"]


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


def test_resumed_panic_keeps_inner_message(capfd):
    q = Quarn()

    def nested_failure(_):
        q.run([let("inner", ident("nowhere"))])
        return 0

    q.run([Statement.fn("f", nested_failure)])
    capfd.readouterr()
    assert panic_message(call, q, lit(0)) == 'Value cannot be found: S("nowhere")'
    err = capfd.readouterr().err
    marker = "Python stack trace below:"
    assert marker in err
    lines = err.splitlines()
    at = lines.index(marker)
    assert at >= 1 and lines[at - 1].strip()  # the notice line
    after = "\n".join(lines[at + 1:])
    assert "Traceback (most recent call last):" in after
    assert "nested_failure" in after
    assert 'Value cannot be found: S("nowhere")' in after


def test_resumed_panic_raised_by_python(panic_type):
    def reraise(_):
        raise panic_type("made in python")

    assert panic_message(call, bound(reraise), lit(0)) == "made in python"

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
