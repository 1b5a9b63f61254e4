"""Bound functions that use the machine running them, and several threads."""

import gc
import re
import sys
import threading
import time
import weakref

import pytest

from velmo import Expr, Quarn, Statement
from conftest import IS_PYPY, REPORT, assert_clean, ident, let, lit, op, panic_message, run_isolated


def test_function_sees_and_makes_bindings():
    q = Quarn()
    seen = []

    def peek(_):
        seen.append(q.get("x"))
        q.run([let("from_inside", op(ident("x"), "*", lit(10)))])
        return q.get("from_inside") + 1

    q.run([
        Statement.fn("peek", peek),
        let("x", lit(4)),
        let("r", Expr.call("peek", lit(None))),
        let("later", op(ident("from_inside"), "+", ident("r"))),
    ])
    assert seen == [4]
    assert (q.get("from_inside"), q.get("r"), q.get("later")) == (40, 41, 81)


def test_deep_reentry():
    q = Quarn()
    depth = 200

    def down(n):
        if n == 0:
            return 0
        name = f"level{n}"
        q.run([let(name, Expr.call("down", lit(n - 1)))])
        return q.get(name) + 1

    q.run([Statement.fn("down", down), let("top", Expr.call("down", lit(depth)))])
    assert q.get("top") == depth
    assert q.get("level1") == 0 and q.get(f"level{depth}") == depth - 1


def test_machine_survives_failures_inside_reentry():
    q = Quarn()
    inner = []

    def flaky(n):
        inner.append(panic_message(q.run, [let("half", lit("done")), let("bad", ident("missing"))]))
        return n + 1

    q.run([Statement.fn("flaky", flaky), let("r", Expr.call("flaky", lit(1)))])
    assert inner == ['Value cannot be found: S("missing")']
    assert (q.get("r"), q.get("half")) == (2, "done")
    assert panic_message(q.get, "bad") == 'Value cannot be found: S("bad")'


def test_shared_machine_across_threads():
    q = Quarn()
    rounds, workers = 60, 6
    errors = []

    def yielding(arg):
        time.sleep(0)  # lets another thread in while the program is running
        pair = q.get("shared")
        if pair[0] != pair[1]:
            errors.append(pair)
        return arg

    q.run([Statement.fn("yield", yielding), let("shared", lit([0, 0]))])

    def worker(t):
        try:
            for i in range(rounds):
                q.run([
                    let(f"t{t}", Expr.call("yield", lit(i))),
                    let("shared", Expr.vector([lit(i), lit(i)])),
                    let(f"sum{t}", op(ident(f"t{t}"), "+", Expr.call("yield", lit(1)))),
                ])
                assert q.get(f"t{t}") == i
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(workers)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []
    for t in range(workers):
        assert q.get(f"t{t}") == rounds - 1
        assert q.get(f"sum{t}") == rounds
    pair = q.get("shared")
    assert pair[0] == pair[1]


def test_panic_in_one_thread_leaves_others_working():
    q = Quarn()
    results = {}

    def worker(t):
        try:
            if t % 2:
                results[t] = panic_message(q.run, [let(f"x{t}", ident("missing"))])
            else:
                q.run([let(f"x{t}", Expr.call("slow", lit(t)))])
                results[t] = q.get(f"x{t}")
        except BaseException as e:  # noqa: BLE001
            results[t] = repr(e)

    q.run([Statement.fn("slow", lambda v: (time.sleep(0), v)[1])])
    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for t in range(8):
        assert results[t] == ('Value cannot be found: S("missing")' if t % 2 else t)


@pytest.fixture
def fast_switching():
    """Lets threads take turns as often as possible."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_writers_grow_the_table_while_reprs_walk_it(fast_switching):
    q = Quarn()
    q.run([Statement.fn("pause", lambda x: (time.sleep(1e-5), x)[1])])
    writers, names = 4, 120
    texts, errors = [], []
    done = threading.Event()

    def writer(t):
        try:
            for i in range(names):
                # the insert comes after a pause in which others run
                q.run([let(f"w{t}.{i}", Expr.call("pause", lit(i)))])
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def walker():
        while not done.is_set():
            texts.append(repr(q))
            time.sleep(0)

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(writers)]
    watcher = threading.Thread(target=walker)
    watcher.start()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    done.set()
    watcher.join()
    texts.append(repr(q))
    assert errors == []
    entry = re.compile(r'S\("w(\d)\.(\d+)"\): Number\(Int\((\d+)\)\)|S\("pause"\): Function\(PyQuarnFn \{ f: Py\(0x[0-9a-f]+\) \}\)')
    seen, counts = 0, []
    for text in texts:
        assert text.startswith("Machine { vars: {") and text.endswith("} }")
        entries = text[len("Machine { vars: {"):-len("} }")].split(", ")
        for e in entries:
            match = entry.fullmatch(e)
            assert match and match.group(2) == match.group(3), e
        assert len(entries) >= seen  # the table only grows
        seen = len(entries)
        counts.append(seen)
    assert seen == 1 + writers * names
    assert any(1 < n < seen for n in counts)  # some walks saw the table mid-growth
    for t in range(writers):
        assert [q.get(f"w{t}.{i}") for i in range(names)] == list(range(names))


def _bind_and_drop(refs, keep):
    def f(x):
        return x

    refs.append(weakref.ref(f))
    q = Quarn()
    q.run([Statement.fn("f", f), let("v", Expr.vector([ident("f")])), let("r", Expr.call("f", lit(1)))])
    s = Statement.if_(lit(True), [Statement.fn("g", f)], [])
    keep.append((q, s))


def _on_thread(fn, *args):
    th = threading.Thread(target=fn, args=args)
    th.start()
    th.join()


def _collected(ref):
    Expr.literal(None)  # an entry into the module releases what waits for it
    # PyPy frees a C-side object one collection after its last reference goes,
    # and each link of the chain wrapper, machine, function takes its own.
    for _ in range(4 if IS_PYPY else 0):
        gc.collect()
    return ref() is None


@pytest.mark.parametrize("dropped_on", ["same thread", "main thread", "third thread"])
def test_functions_are_released_whichever_thread_drops_their_holders(dropped_on):
    refs, held = [], []
    if dropped_on == "same thread":
        _on_thread(lambda: _bind_and_drop(refs, []))
    else:
        _on_thread(_bind_and_drop, refs, held)
        assert not _collected(refs[0])  # the machine and the statement still hold it
        if dropped_on == "main thread":
            held.clear()
        else:
            _on_thread(held.clear)
    assert _collected(refs[0])


CALLBACK_RECURSION = """
sys.setrecursionlimit(200)
q = Quarn()
levels = []
def down(n):
    levels.append(n)
    q.run([Statement.let("r", Expr.call("down", Expr.literal(n + 1)))])
    return n
q.run([Statement.fn("down", down)])
try:
    q.run([Statement.let("top", Expr.call("down", Expr.literal(0)))])
except BaseException as e:
    print(type(e).__name__)
    print(str(e))
print(len(levels))
q.run([Statement.let("after", Expr.literal(1))])
print(q.get("after"))
"""


def test_callbacks_recursing_through_run_stop_at_the_recursion_limit():
    proc = run_isolated(CALLBACK_RECURSION)
    assert_clean(proc)
    kind, message, levels, after = proc.stdout.splitlines()
    assert kind == "PanicException"
    # At the limit even repr() of the error may fail: then the unprintable forms stand in.
    assert re.fullmatch(
        r"Failed while executing Python function with Quarn: PyErr \{ "
        r"type: (<class 'RecursionError'>|<unprintable type object>), "
        r"value: (RecursionError\('maximum recursion depth exceeded[^']*'\)|<unprintable RecursionError object>), "
        r"traceback: (None|Some\(.*\)) \}",
        message,
    ), message
    err = proc.stderr.splitlines()
    reports = [line for line in err if line.startswith("velmo: fatal error at ")]
    assert len(reports) == 1 and REPORT.fullmatch(reports[0]).group(3) == message
    # every level resumes the failure on its way out, and nothing else is reported
    assert err.count("velmo: resuming a fatal error: a PanicException was fetched from Python") == int(levels)
    assert after == "1"
