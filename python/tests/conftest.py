"""Shared helpers for the velmo test suite.

The suite tests the module as it is installed (`pip install .` into the
interpreter's environment), never a build folder on the search path.
"""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from hypothesis import HealthCheck, settings

import velmo
from velmo import Expr, Quarn, Statement

IS_PYPY = sys.implementation.name == "pypy"

# Property tests: few examples by default, drawn the same way on every run;
# `pytest --hypothesis-profile=thorough` searches far wider.
settings.register_profile(
    "velmo", max_examples=25, derandomize=True, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("thorough", max_examples=3000, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("velmo")

I64_MAX = 2**63 - 1
I64_MIN = -(2**63)

VALUE_ENUM_HEAD = "failed to extract enum PyValue ('Null | Boolean | String | I64 | F64 | Vector')"
IDENT_ENUM_HEAD = "failed to extract enum PyIdentifier ('U | S')"
# The whole error text for a dict, the same on every host.
DICT_ENUM_TEXT = (
    "failed to extract enum PyValue ('Null | Boolean | String | I64 | F64 | Vector')\n"
    "- variant Null (Null): TypeError: failed to extract field PyValue::Null.0, caused by TypeError: 'dict' object cannot be converted to 'NoneType'\n"
    "- variant Boolean (Boolean): TypeError: failed to extract field PyValue::Boolean.0, caused by TypeError: 'dict' object cannot be converted to 'PyBool'\n"
    "- variant String (String): TypeError: failed to extract field PyValue::String.0, caused by TypeError: 'dict' object cannot be converted to 'PyString'\n"
    "- variant I64 (I64): TypeError: failed to extract field PyValue::I64.0, caused by TypeError: 'dict' object cannot be interpreted as an integer\n"
    "- variant F64 (F64): TypeError: failed to extract field PyValue::F64.0, caused by TypeError: must be real number, not dict\n"
    "- variant Vector (Vector): TypeError: failed to extract field PyValue::Vector.0, caused by TypeError: 'dict' object cannot be converted to 'Sequence'"
)
def _notes_displayed():
    """Whether the interpreter's own display of an exception shows its notes
    (PEP 678): from CPython 3.11 on."""
    import io
    probe = Exception("probe")
    probe.__notes__ = ["zq-note"]
    saved, sys.stderr = sys.stderr, io.StringIO()
    try:
        sys.__excepthook__(type(probe), probe, None)
        return "zq-note" in sys.stderr.getvalue()
    finally:
        sys.stderr = saved


NOTES_DISPLAYED = _notes_displayed()

# The line that reports a fatal error on standard error: where, and the message.
REPORT = re.compile(r"velmo: fatal error at ([^:\s]+):(\d+): (.*)")

# The host's own overflow texts for a name outside 0 .. 2**64-1.
NEGATIVE_TO_UNSIGNED = (
    "OverflowError: cannot convert negative integer to unsigned int" if IS_PYPY
    else "OverflowError: can't convert negative int to unsigned"
)
TOO_BIG_FOR_UNSIGNED = "OverflowError: integer too large" if IS_PYPY else "OverflowError: int too big to convert"
FUNCTION_IN_VECTOR = (
    "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'TypeError'>, "
    "value: TypeError('Cannot convert a Rust trait to Python'), traceback: None }"
)


def panic_message(fn, *args, **kwargs):
    """Call fn and return the message of the PanicException it must raise."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # PanicException derives from BaseException
        assert type(e).__name__ == "PanicException", f"{type(e).__name__}: {e}"
        assert len(e.args) == 1
        return str(e)
    raise AssertionError("no exception was raised")


def lit(value):
    return Expr.literal(value)


def ident(name):
    return Expr.ident(name)


def let(name, expr):
    return Statement.let(name, expr)


def op(a, o, b):
    return Expr.binary_op(a, o, b)


def evaluate(expr, machine=None):
    """Run `__r = expr` on a machine and read `__r` back."""
    machine = machine if machine is not None else Quarn()
    machine.run([Statement.let("__r", expr)])
    return machine.get("__r")


def roundtrip(value):
    return evaluate(Expr.literal(value))


def settle():
    """Collect garbage and enter the module once, so that references whose
    release was deferred are dropped before counts are compared."""
    import gc

    gc.collect()
    Expr.literal(None)
    gc.collect()


def value_enum_text(tname, string=None, i64=None, f64=None, vector=None):
    """The error text for an object of type tname that fits no value variant.
    The causes default to those of an object that is nothing like a value."""
    string = string or f"TypeError: '{tname}' object cannot be converted to 'PyString'"
    i64 = i64 or f"TypeError: '{tname}' object cannot be interpreted as an integer"
    f64 = f64 or f"TypeError: must be real number, not {tname}"
    vector = vector or f"TypeError: '{tname}' object cannot be converted to 'Sequence'"
    return (
        f"{VALUE_ENUM_HEAD}\n"
        f"- variant Null (Null): TypeError: failed to extract field PyValue::Null.0, "
        f"caused by TypeError: '{tname}' object cannot be converted to 'NoneType'\n"
        f"- variant Boolean (Boolean): TypeError: failed to extract field PyValue::Boolean.0, "
        f"caused by TypeError: '{tname}' object cannot be converted to 'PyBool'\n"
        f"- variant String (String): TypeError: failed to extract field PyValue::String.0, caused by {string}\n"
        f"- variant I64 (I64): TypeError: failed to extract field PyValue::I64.0, caused by {i64}\n"
        f"- variant F64 (F64): TypeError: failed to extract field PyValue::F64.0, caused by {f64}\n"
        f"- variant Vector (Vector): TypeError: failed to extract field PyValue::Vector.0, caused by {vector}"
    )


def ident_enum_text(u_cause, s_cause):
    return (
        f"{IDENT_ENUM_HEAD}\n"
        f"- variant U (U): TypeError: failed to extract field PyIdentifier::U.0, caused by {u_cause}\n"
        f"- variant S (S): TypeError: failed to extract field PyIdentifier::S.0, caused by {s_cause}"
    )


def run_isolated(code, timeout=900):
    """Run code in a fresh interpreter that imports the same velmo build.

    Returns the CompletedProcess; callers assert returncode == 0 so that a
    crash fails one test instead of the whole session.
    """
    env = dict(os.environ)
    prelude = "import sys\nfrom velmo import Expr, Statement, Quarn\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def interrupt_child(code, timeout=60):
    """Run code in a fresh interpreter, press Ctrl-C once it prints "ready"
    and say what else it printed. SIGINT gets its default handler first: a
    child inherits an ignored SIGINT from a parent started in the background."""
    prelude = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
    child = subprocess.Popen([sys.executable, "-c", prelude + textwrap.dedent(code)], stdout=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=timeout)
        assert child.returncode == 0, out
        return out.split()
    finally:
        child.kill()
        child.wait()


def assert_clean(proc):
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\nstdout:\n{proc.stdout[-3000:]}\nstderr:\n{proc.stderr[-3000:]}"
    )
    return proc.stdout.split()


@pytest.fixture(scope="session")
def panic_type():
    try:
        Quarn().get("__never_bound__")
    except BaseException as e:
        return type(e)
    raise AssertionError("get of an unbound name did not fail")
