"""Very deep values and trees.

Every case runs in a child interpreter: a crash fails one test, and the child
prints what happened so that a clean exception and a correct result can both
be told apart from a crash.
"""

import textwrap

import pytest

from conftest import assert_clean, run_isolated

DEPTH = 100_000

# Child-side helpers: outcome(fn) prints "ok:<value>" or "raised:<type name>".
HELPERS = """
def outcome(label, fn, check=lambda v: True):
    try:
        v = fn()
    except RecursionError:
        print(label, "RecursionError")
        return None
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        print(label, "PanicException")
        return None
    print(label, "ok" if check(v) else "WRONG")
    return v

def in_small_stack(label, fn, check=lambda v: True):
    # the same work on a thread with little stack reaches its end far sooner
    import threading
    threading.stack_size(256 * 1024)
    th = threading.Thread(target=outcome, args=(label, fn, check))
    th.start()
    th.join()


def nested_depth(v):
    d = 0
    while isinstance(v, list):
        if len(v) != 1:
            return -1, v
        v = v[0]
        d += 1
    return d, v
"""


def run_case(body):
    code = f"DEPTH = {DEPTH}\n{HELPERS}\n{textwrap.dedent(body)}\nprint('done', 'done')"
    proc = run_isolated(code)
    out = assert_clean(proc)
    pairs = dict(zip(out[0::2], out[1::2]))
    assert pairs.pop("done") == "done"
    return pairs


def test_deep_python_list_as_literal():
    results = run_case(
        """
        x = 0
        for _ in range(DEPTH):
            x = [x]
        q = Quarn()
        e = outcome("literal", lambda: Expr.literal(x))
        if e is not None:
            q.run([Statement.let("v", e)])
            outcome("get", lambda: q.get("v"), lambda v: nested_depth(v) == (DEPTH, 0))
            outcome("repr", lambda: repr(q), lambda r: r.count("Vector([") == DEPTH)
            del e
        del q, x
        """
    )
    assert results["literal"] in ("ok", "RecursionError")
    for key in ("get", "repr"):
        assert results.get(key, "ok") in ("ok", "RecursionError", "PanicException")


def test_deep_vector_built_by_a_program():
    results = run_case(
        """
        q = Quarn()
        for name in ("v", "w"):
            grow = Statement.let(name, Expr.vector([Expr.ident(name)]))
            q.run([Statement.let(name, Expr.literal(0))] + [grow] * DEPTH)
        outcome("get", lambda: q.get("v"), lambda v: nested_depth(v) == (DEPTH, 0))
        outcome("repr", lambda: repr(q), lambda r: r.count("Vector([") == 2 * DEPTH)
        def compare():
            q.run([Statement.let("eq", Expr.equals(Expr.ident("v"), Expr.ident("w")))])
            return q.get("eq")
        outcome("equals", compare, lambda r: r is True)
        in_small_stack("get_thread", lambda: q.get("w"), lambda v: nested_depth(v) == (DEPTH, 0))
        in_small_stack("equals_thread", compare, lambda r: r is True)
        q.run([Statement.let("still", Expr.literal(1))])
        print("usable", q.get("still"))
        del q
        """
    )
    # printing and comparing walk the value without recursion, at any depth
    assert results["repr"] == "ok"
    assert results["equals"] == results["equals_thread"] == "ok"
    assert results["get"] in ("ok", "RecursionError")
    assert results["get_thread"] in ("ok", "RecursionError")
    assert results["usable"] == "1"


def test_deep_vector_replaced_and_dropped_during_run():
    results = run_case(
        """
        q = Quarn()
        grow = Statement.let("v", Expr.vector([Expr.ident("v")]))
        q.run([Statement.let("v", Expr.literal(0))] + [grow] * DEPTH + [Statement.let("v", Expr.literal("flat"))])
        print("value", q.get("v"))
        """
    )
    assert results["value"] == "flat"


@pytest.mark.parametrize(
    "wrap,leaf,expected",
    [
        ("Expr.not_(e)", "Expr.literal(True)", "True"),
        ("Expr.vector([e])", "Expr.literal(1)", None),
        ("Expr.binary_op(e, '+', Expr.literal(1))", "Expr.literal(0)", None),
        ("Expr.call('id', e)", "Expr.literal(7)", "7"),
    ],
    ids=["not", "vector", "binary_op", "call"],
)
def test_deep_expression_tree(wrap, leaf, expected):
    depth = 6_000  # every level copies the tree below it, so building is quadratic
    results = run_case(
        f"""
        e = {leaf}
        for _ in range({depth}):
            e = {wrap}
        q = Quarn()
        q.run([Statement.fn("id", lambda x: x)])
        def run():
            q.run([Statement.let("r", e)])
            return q.get("r")
        v = outcome("eval", run)
        if v is not None and not isinstance(v, list):
            print("value", v)
        in_small_stack("eval_thread", run)
        copy = Expr.vector([e, e])
        del e, copy, q
        """
    )
    assert results["eval"] in ("ok", "RecursionError", "PanicException")
    assert results["eval_thread"] in ("ok", "RecursionError", "PanicException")
    if results["eval"] == "ok" and expected is not None:
        assert results["value"] == expected
    if results["eval"] == "ok" and "binary_op" in wrap:
        assert results["value"] == str(depth)


def test_deep_if_nesting():
    results = run_case(
        """
        s = Statement.let("bottom", Expr.literal("reached"))
        for _ in range(6_000):
            s = Statement.if_(Expr.literal(True), [s], [])
        q = Quarn()
        in_small_stack("run_thread", lambda: q.run([s]))
        outcome("run", lambda: q.run([s]))
        try:
            print("bottom", q.get("bottom"))
        except BaseException:
            print("bottom", "unbound")
        del s, q
        """
    )
    assert results["run"] in ("ok", "RecursionError", "PanicException")
    assert results["run_thread"] in ("ok", "RecursionError", "PanicException")
    if results["run"] == "ok":
        assert results["bottom"] == "reached"
