"""Ownership of Python objects held by programs and machines (CPython only)."""

import sys

import pytest

from velmo import Expr, Quarn, Statement
from conftest import IS_PYPY, ident, let, lit, op, panic_message, settle

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


class Refuses:
    """Offers an index that fails: every integer attempt raises."""

    def __index__(self):
        raise ValueError("no index")


HELD_VALUES = [
    pytest.param(lambda: [1, "a", [2.5, None]], id="nested-list"),
    pytest.param(lambda: (True, "b" * 3), id="tuple"),
    pytest.param(lambda: type("Text", (str,), {})("sub"), id="str-subclass"),
    pytest.param(lambda: type("Whole", (int,), {})(10**6), id="int-subclass"),
    pytest.param(lambda: type("Real", (float,), {})(0.5), id="float-subclass"),
    pytest.param(lambda: [1, {}], id="list-with-dict"),
    pytest.param(lambda: {"k": 1}, id="dict"),
    pytest.param(lambda: Refuses(), id="failing-index"),
    pytest.param(lambda: [Refuses(), Refuses()], id="list-of-failing"),
]


@pytest.mark.parametrize("make", HELD_VALUES)
def test_values_passed_in_are_not_kept(make):
    value = make()
    items = list(value) if isinstance(value, (list, tuple)) else []
    before = [rc(value)] + [rc(item) for item in items]
    q = Quarn()
    for _ in range(100):
        try:
            q.run([let("v", lit(value))])
            q.get("v")
        except TypeError:
            pass
    del q
    assert [rc(value)] + [rc(item) for item in items] == before


def test_names_passed_in_are_not_kept():
    text = "".join(["na", "me"])  # made at run time, so not shared with code
    number = 10**6 + int("1")
    f = make_function()
    before = rc(text), rc(number)
    q = Quarn()
    for name in (text, number) * 50:
        q.run([let(name, lit(1)), let("r", ident(name)), Statement.fn(name, f), let("r", Expr.call(name, lit(1)))])
        with pytest.raises(TypeError):
            q.get(name)  # a function has no Python value
        q.run([let(name, lit(2))])
        assert q.get(name) == 2
        panic_message(Quarn().get, name)
    del name
    assert (rc(text), rc(number)) == before


def test_results_belong_to_the_caller():
    q = Quarn()
    q.run([let("v", lit([[1, 2], "text", 2.5, 2**62])), let("s", lit("some text")), let("x", lit(1.25))])
    v = q.get("v")
    assert [sys.getrefcount(v)] + [sys.getrefcount(item) for item in v] == [2, 3, 3, 3, 3]
    s, x = q.get("s"), q.get("x")
    assert (sys.getrefcount(s), sys.getrefcount(x)) == (2, 2)


def test_errors_are_released():
    import weakref

    class Boom(Exception):
        pass

    refs = []

    def raises(x):
        error = Boom(x)
        refs.append(weakref.ref(error))
        raise error

    def resumes(x):
        try:
            Quarn().get("missing")
        except BaseException as inner:
            refs.append(weakref.ref(inner))
            raise

    class Hook:
        def __index__(self):
            error = Boom("hook")
            refs.append(weakref.ref(error))
            raise error

    q = Quarn()
    q.run([Statement.fn("raises", raises), Statement.fn("resumes", resumes)])
    panic_message(q.run, [let("r", Expr.call("raises", lit([1])))])
    panic_message(q.run, [let("r", Expr.call("resumes", lit(None)))])
    with pytest.raises(TypeError):
        Expr.literal(Hook())
    settle()
    assert len(refs) >= 3 and all(ref() is None for ref in refs)


def test_nothing_is_left_behind():
    import gc

    def callback(x):
        if x == "fail":
            raise ValueError(x)
        return [x, "text", None]

    def work(i):
        q = Quarn()
        q.run([Statement.fn("f", callback), let("v", Expr.call("f", lit(i))), let("s", lit("ab"))])
        q.get("v"), q.get("s"), repr(q)
        panic_message(q.run, [let("w", Expr.call("f", lit("fail")))])
        with pytest.raises(TypeError):
            q.get("f")
        q.run([let("fs", Expr.vector([ident("f")]))])
        panic_message(q.get, "fs")
        for bad in ({}, [1, {}], Refuses()):
            with pytest.raises(TypeError):
                Expr.literal(bad)
        with pytest.raises(TypeError):
            Expr.vector([lit(1), 2])
        with pytest.raises(ValueError):
            Expr.binary_op(lit(1), "%", lit(2))

    work(0)
    settle()
    before = len(gc.get_objects()), rc(Expr), rc(Statement), rc(Quarn)
    for i in range(300):
        work(i)
    settle()
    after = len(gc.get_objects()), rc(Expr), rc(Statement), rc(Quarn)
    assert after == before


def test_batches_release_what_they_read_and_made():
    # The rows, their texts and names, the results and the exceptions given
    # back: each held exactly as long as the call, or by the results alone.
    text, name = "gold" + "x" * 30, "field" + "y" * 30
    rows = [(text, float(i)) for i in range(300)] + [(text, "bad")] + [{name: text}] * 3
    program = [let("y", lit(1)), let("w", Expr.binary_op(ident("b"), "*", lit(2.0)))]
    q = Quarn()
    before = rc(text), rc(name), rc(rows[0])
    for _ in range(3):
        results = q.run_many(program, rows[:301], inputs=[name, "b"], outputs=[name, "w"], errors="return")
        q.update({name: text, "b": 2.0})
        q.update([(name, text)])
    assert type(results[300]).__name__ == "PanicException"
    del results
    assert (rc(name), rc(rows[0])) == before[1:]
    del q  # the machine keeps the last few short texts it was given
    assert (rc(text), rc(name), rc(rows[0])) == before


def test_a_long_program_run_again_holds_none_of_its_statements():
    q = Quarn()
    s = let("n", op(ident("n"), "+", lit(1)))
    prog = [let("n", lit(0))] + [s] * 40
    base = rc(s)
    for _ in range(3):
        q.run(prog)
    assert (rc(s), q.get("n")) == (base, 40)
