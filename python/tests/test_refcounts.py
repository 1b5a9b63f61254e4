"""Ownership of Python objects held by programs and machines (CPython only)."""

import sys

import pytest

from velmo import Expr, Quarn, Statement
from conftest import IS_PYPY, ident, let, lit, panic_message, settle

pytestmark = pytest.mark.skipif(IS_PYPY, reason="reference counts are a CPython notion")


def rc(obj):
    settle()
    return sys.getrefcount(obj)


def make_function():
    def f(x):
        return x

    return f


def test_fn_statement_holds_one_reference():
    f = make_function()
    base = rc(f)
    s = Statement.fn("f", f)
    assert rc(f) == base + 1
    # Trees are shared, never copied: however often the statement is used,
    # the function is held once, by the statement.
    nested = Statement.if_(lit(True), [s, s], [s])
    twice = Statement.if_(lit(False), [nested], [nested, s])
    assert rc(f) == base + 1
    del s
    assert rc(f) == base + 1
    del nested
    assert rc(f) == base + 1
    del twice
    assert rc(f) == base


def test_machine_binding_holds_one_reference():
    f = make_function()
    base = rc(f)
    stmt = Statement.fn("f", f)
    q = Quarn()
    for _ in range(500):
        q.run([stmt])
    assert rc(f) == base + 2  # the statement and the current binding
    q.run([let("g", ident("f")), let("v", Expr.vector([ident("f"), ident("f")]))])
    assert rc(f) == base + 2  # variables share the bound value
    q.run([let("f", lit(0))])
    assert rc(f) == base + 2  # still held through g and v
    q.run([let("g", lit(0)), let("v", lit(0))])
    assert rc(f) == base + 1
    q.run([stmt])
    del q
    assert rc(f) == base + 1
    del stmt
    assert rc(f) == base


def test_calls_release_arguments_and_results():
    payload = [1, 2]
    calls = []

    def f(x):
        calls.append(1)
        return payload

    fbase, pbase = rc(f), rc(payload)
    q = Quarn()
    q.run([Statement.fn("f", f)])
    prog = [let("r", Expr.call("f", lit(["arg", 1.5, None])))]
    for _ in range(1000):
        q.run(prog)
    assert len(calls) == 1000
    assert rc(payload) == pbase
    del q, prog
    assert rc(f) == fbase


def test_failing_calls_release_everything():
    def f(x):
        raise ValueError(x)

    def g(x):
        return {}

    bases = rc(f), rc(g)
    q = Quarn()
    q.run([Statement.fn("f", f), Statement.fn("g", g)])
    for name in ("f", "g") * 200:
        panic_message(q.run, [let("r", Expr.call(name, lit([1, "two"])))])
    del q
    assert (rc(f), rc(g)) == bases


def test_no_growth_over_many_operations():
    f = make_function()
    e = lit(1)
    s = Statement.let("x", e)
    text = "some text"
    before = (rc(f), rc(e), rc(s), rc(text), rc(None), rc(True))
    q = Quarn()
    for _ in range(2000):
        Expr.equals(e, e)
        Statement.if_(e, [s], [s])
        Statement.fn("h", f)
        Expr.literal([text, None, True])
        q.run([s, let("n", lit(None)), let("t", lit(text))])
        q.get("n")
        q.get("t")
        repr(q)
        try:
            Expr.literal({})
        except TypeError:
            pass
    del q
    after = (rc(f), rc(e), rc(s), rc(text), rc(None), rc(True))
    assert after[:4] == before[:4]
    # None and True are referenced from all over the interpreter; a leak
    # here would show up as thousands of extra references.
    assert abs(after[4] - before[4]) < 200
    assert abs(after[5] - before[5]) < 200


def test_methods_do_not_keep_the_machine():
    q = Quarn()
    base = rc(q)
    q.run([Statement.fn("f", make_function()), let("x", lit(1))])
    repr(q)
    q.get("x")
    panic_message(q.get, "missing")
    panic_message(q.run, [let("y", ident("missing"))])
    assert rc(q) == base


def test_holders_dropped_on_another_thread_release_exactly_once():
    import threading

    f = make_function()
    base = rc(f)
    held = []

    def bind():
        q = Quarn()
        q.run([Statement.fn("f", f), let("v", Expr.vector([ident("f"), ident("f")]))])
        held.append((q, Statement.fn("g", f)))

    for work in (bind, held.clear):
        th = threading.Thread(target=work)
        th.start()
        th.join()
        assert rc(f) == (base + 2 if held else base)
