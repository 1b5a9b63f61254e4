"""Memory must level off: runs a mixed Quarn workload many times and fails if
the resident set keeps growing after warm-up.

    python tools/memcheck.py [--runs N]    (1,000,000 by default; the test
                                            command runs a short version)

The workload builds its programs anew each time and mixes what can leak:
bound Python functions rebound on every run, callbacks with vector and text
arguments, vector and text results, runs that fail (an unbound name, a
callback that raises, a callback whose result does not convert), reads of
every kind of value, and a new machine every thousand runs.
"""

import argparse
import gc
import os
import sys

from velmo import Expr, Quarn, Statement

PAGE = os.sysconf("SC_PAGE_SIZE")
SAMPLES = 40
WARM_UP = 0.3  # share of the runs before the baseline is taken


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def echo(x):
    return [x, "text", 2.5, None, True]


def fail(x):
    raise ValueError(x)


def odd(x):
    return {"not": "convertible"}


def program(i):
    """One run's statements, built fresh."""
    n = Expr.literal(i)
    stmts = [
        Statement.fn("echo", echo),
        Statement.let("v", Expr.vector([n, Expr.literal("s" * (i % 9)), Expr.call("echo", Expr.literal([i, "x"]))])),
        Statement.let("s", Expr.binary_op(Expr.literal("ab"), "+", Expr.literal(str(i % 100)))),
        Statement.let("b", Expr.greater_than(n, Expr.literal(500))),
        Statement.if_(Expr.less_than(n, Expr.literal(0.5)), [Statement.let("f", Expr.literal(1.5))], []),
    ]
    if i % 3 == 0:
        stmts.append(Statement.let("bad", Expr.ident("unbound")))
    elif i % 5 == 1:
        stmts += [Statement.fn("fail", fail), Statement.let("bad", Expr.call("fail", Expr.literal(["a", i])))]
    elif i % 7 == 2:
        stmts += [Statement.fn("odd", odd), Statement.let("bad", Expr.call("odd", Expr.literal(None)))]
    return stmts


def one_run(q, i):
    try:
        q.run(program(i))
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
    for name in ("v", "s", "b"):
        q.get(name)
    try:
        q.get("echo")  # a function: TypeError
    except TypeError:
        pass
    repr(q) if i % 100 == 0 else None


def measure(runs):
    samples = []
    every = max(1, runs // SAMPLES)
    q = Quarn()
    for i in range(runs):
        if i % 1000 == 999:
            q = Quarn()
        one_run(q, i)
        if i % every == every - 1:
            gc.collect()
            samples.append(rss())
    return samples


def verdict(samples):
    """Growth after warm-up, against what a levelled-off run may drift: the
    least-squares trend of the samples, carried over the whole window. A
    steady leak shows in full; an allocator taking one more arena near the
    end shows as a fraction of its size."""
    after = samples[int(len(samples) * WARM_UP):]
    n = len(after)
    mean_x, mean_y = (n - 1) / 2, sum(after) / n
    slope = sum((x - mean_x) * (y - mean_y) for x, y in enumerate(after)) / sum((x - mean_x) ** 2 for x in range(n))
    allowed = max(1 << 20, after[0] // 50)
    return int(slope * (n - 1)), allowed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=1_000_000)
    args = parser.parse_args()
    quiet = open(os.devnull, "w")
    sys.stderr, real_stderr = quiet, sys.stderr  # every failing run writes a report
    try:
        samples = measure(args.runs)
    finally:
        sys.stderr = real_stderr
    growth, allowed = verdict(samples)
    mib = [round(s / 2**20, 1) for s in samples]
    print(f"memcheck ({sys.implementation.name}, {args.runs} runs): RSS MiB {mib}")
    print(f"memcheck: growth after warm-up {growth / 2**20:.2f} MiB (allowed {allowed / 2**20:.2f} MiB)")
    if growth > allowed:
        print("memcheck: FAILED, memory keeps growing")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
