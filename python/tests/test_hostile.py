"""Programs built from data that would end, hang or bloat the process: each
runs in a child interpreter, so that a crash or a hang fails one test.

Under limits each stops with its PanicException and leaves the machine
usable; without limits a signal whose handler raises stops it with that
handler's exception, unchanged."""

import textwrap

import pytest

from conftest import IS_PYPY, assert_clean, interrupt_child, run_isolated

PRELUDE = """
import signal, sys, time
from velmo import Expr, Quarn, Statement

def let(name, expr):
    return Statement.let(name, expr)

def doubling_text():
    return [let("a", Expr.literal("x"))] + [let("a", Expr.binary_op(Expr.ident("a"), "+", Expr.ident("a")))] * 35

def doubling_vector(times=60, width=1):
    v = Expr.ident("v")
    return [let("v", Expr.literal([1] * width if width > 1 else 1))] + [let("v", Expr.vector([v, v]))] * times

def doubling_tree():
    e = Expr.literal(1)
    for _ in range(60):
        e = Expr.binary_op(e, "+", e)
    return [let("x", e)]

def failure(fn, *args):
    try:
        fn(*args)
    except BaseException as e:
        return type(e).__name__ + ": " + str(e)
    return "no failure"
"""

EQUALITY = "q.run([let('e', Expr.equals(Expr.ident('v'), Expr.ident('v')))])"


def run_child(code):
    return assert_clean(run_isolated(PRELUDE + textwrap.dedent(code), timeout=120))


@pytest.mark.parametrize(
    "limits, program, expected",
    [
        ("max_value_size=2**20", "doubling_text()", "Value size limit exceeded: max_value_size=1048576"),
        ("max_value_size=10**6", "doubling_vector()", "Value size limit exceeded: max_value_size=1000000"),
        ("max_operations=10**6", "doubling_tree()", "Operation limit exceeded: max_operations=1000000"),
        ("max_operations=10**6", "doubling_vector() + [" + EQUALITY[7:-2] + "]",
         "Operation limit exceeded: max_operations=1000000"),
    ],
)
def test_under_limits_a_bomb_stops_and_the_machine_stays_usable(limits, program, expected):
    out = run_child(f"""
        q = Quarn({limits})
        print(failure(q.run, {program}))
        q.run([let("after", Expr.literal(1))])
        print(q.get("after"))
    """)
    assert " ".join(out) == f"PanicException: {expected} 1"


# The hang of a doubling vector, in each form the work takes: an equality
# of 2^60 pairs; a get that builds 2^28 list items and the debug form in
# repr that prints them (2^60 would fail at once, as no memory holds them).
HANGS = [("doubling_vector()", EQUALITY), ("doubling_vector(24, 16)", "q.get('v')"),
         ("doubling_vector(24, 16)", "repr(q)")]


@pytest.mark.parametrize("program, work", HANGS)
def test_a_deadline_stops_work_that_would_never_end(program, work):
    out = run_child(f"""
        class Deadline(Exception):
            pass
        def handler(signum, frame):
            raise Deadline("deadline")
        q = Quarn()
        q.run({program})
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        print(failure(lambda: {work}))
        q.run([let("after", Expr.literal(1))])
        print(q.get("after"))
    """)
    assert out == ["Deadline:", "deadline", "1"]


@pytest.mark.parametrize("program, work", HANGS)
def test_sigint_stops_work_that_would_never_end(program, work):
    out = interrupt_child(PRELUDE + f"""
q = Quarn()
q.run({program})
print("ready", flush=True)
try:
    {work}
except KeyboardInterrupt:
    print("interrupted", flush=True)
""")
    assert out == ["interrupted"]


# The vector doubled sixty times stands for 2^60 items. Spelled out in any
# form, it could never fit in memory: each form fails at once with the
# MemoryError of an allocation that fails, noted with the statement or row
# as any failure is, and the machine stays usable.
TOO_LARGE = [
    ("repr(q)", "MemoryError"),
    ("q.get('v')", "MemoryError"),
    ("q.run_many([], [()], outputs=['v'])", "MemoryError in row 0"),
    ("q.run_many([], [(1,), (2,)], inputs=['x'], outputs=['x', 'v'], errors='return')",  # as columns on PyPy
     "[MemoryError(), MemoryError()]"),
    ("q.run([let('r', Expr.call('f', Expr.ident('v')))])", "MemoryError at statement 0"),
    ("repr(pickle.loads(pickle.dumps(q)))", "MemoryError"),
]


@pytest.mark.parametrize("work, expected", TOO_LARGE)
def test_a_value_too_large_for_memory_fails_at_once(work, expected):
    out = run_child(f"""
        import pickle
        def f(x):
            return x
        q = Quarn()
        q.run(doubling_vector() + [Statement.fn("f", f)])
        try:
            print(repr({work}))
        except MemoryError as e:
            print(type(e).__name__, *getattr(e, "__notes__", ()))
        q.run([let("after", Expr.literal(1))])
        print(q.get("after"))
    """)
    assert out == expected.split() + ["1"]


def test_an_interruption_passes_through_callbacks_unchanged():
    out = run_child("""
        def handler(signum, frame):
            raise TimeoutError("deadline")
        q = Quarn()
        q.run(doubling_vector())
        q.run([Statement.fn("compare", lambda _: q.run([let("e", Expr.equals(Expr.ident("v"), Expr.ident("v")))]))])
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        print(failure(q.run, [let("r", Expr.call("compare", Expr.literal(0)))]))
    """)
    assert out == ["TimeoutError:", "deadline"]


@pytest.mark.skipif(IS_PYPY, reason="PyPy's C-API layer never collects cycles through extension objects")
def test_machines_in_cycles_with_their_callbacks_are_collected():
    out = run_child("""
        import gc
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096 // 2**20
        def one(i, cycle):
            q = Quarn()
            f = (lambda _: q) if cycle else (lambda _: None)  # a closure over its own machine, or none
            q.run([Statement.fn("f", f), let("text", Expr.literal("t" * 1000 + str(i)))])
        def machines(cycle):
            start = rss()
            for i in range(50000):
                one(i, cycle)
            gc.collect()
            return rss() - start
        without = machines(False)
        print(machines(True) - without < 50, gc.is_tracked(Quarn()), gc.is_tracked(Expr.literal(1)))
    """)
    assert out == ["True", "True", "True"]
