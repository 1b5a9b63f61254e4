"""Bound functions that use the machine running them, and several threads."""

import threading
import time

from velmo import Expr, Quarn, Statement
from conftest import ident, let, lit, op, panic_message


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

    def flaky(n):
        try:
            q.run([let("bad", ident("missing"))])
        except BaseException as e:
            assert type(e).__name__ == "PanicException"
        return n + 1

    q.run([Statement.fn("flaky", flaky), let("r", Expr.call("flaky", lit(1)))])
    assert q.get("r") == 2


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
