"""What pickling costs, under the running interpreter, printed as Markdown:

- loading W1's tree with pickle.loads against building it with the builders
  (and pickling it), in ns per node;
- the size of its pickle at every protocol, in bytes per node;
- how a rule set (rules, and a machine holding a table of 100,000 entries)
  reaches the workers of a process pool: given to each worker once by the
  pool's initializer, or sent with every task. The workers count the trees
  and machines they unpickle, by wrapping the module's loaders that pickle
  calls.

Run by bench/run.sh under PyPy and CPython (python bench/pickling.py from
anywhere); each goal is a ratio or a count of the same run.
"""
import os
import pickle
import platform
import sys
import time
from concurrent.futures import ProcessPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import velmo  # noqa: E402
from velmo import Expr, Quarn, Statement  # noqa: E402
from workloads import EXPECTED, TREE_NODES, build_tree  # noqa: E402

PYPY = sys.implementation.name == "pypy"
WARMUP_S = 1.0 if PYPY else 0.05  # PyPy's JIT compiles the loops after a while
ROUNDS, SAMPLES, SAMPLE_S = 20, 5, 0.002
TABLE = 100_000  # entries of the machine the workers get
WORKERS, TASKS, ROWS = 2, 40, 1_000  # the pool, its tasks, the rows of each
HIGHEST = pickle.HIGHEST_PROTOCOL


def w1_tree():
    return build_tree(Expr.literal, Expr.binary_op)


# --- loading against building, and sizes


def repetitions(run):
    """How many calls of run() make one sample of about SAMPLE_S."""
    reps = 1
    while True:
        start = time.perf_counter()
        for _ in range(reps):
            run()
        took = time.perf_counter() - start
        if took >= SAMPLE_S / 4:
            return max(1, round(reps * SAMPLE_S / took))
        reps *= 4


def fastest(cases):
    """{name: ns per node}: each case's fastest sample over rounds that take
    every case in turn, after a warm-up."""
    deadline = time.perf_counter() + WARMUP_S
    while time.perf_counter() < deadline:
        for run in cases.values():
            run()
    reps = {name: repetitions(run) for name, run in cases.items()}
    best = dict.fromkeys(cases, float("inf"))
    for _ in range(ROUNDS):
        for name, run in cases.items():
            for _ in range(SAMPLES):
                start = time.perf_counter_ns()
                for _ in range(reps[name]):
                    run()
                best[name] = min(best[name], (time.perf_counter_ns() - start) / reps[name] / TREE_NODES)
    return best


def speed_table():
    tree = w1_tree()
    payload = pickle.dumps(tree, protocol=HIGHEST)
    loaded = pickle.loads(payload)
    assert run_tree(loaded) == run_tree(tree) == EXPECTED["W1"]
    best = fastest({
        "build with the builders": w1_tree,
        "pickle.loads": lambda: pickle.loads(payload),
        "pickle.dumps": lambda: pickle.dumps(tree, protocol=HIGHEST),
    })
    ratio = best["pickle.loads"] / best["build with the builders"]
    lines = ["| W1's tree, 2,047 nodes | ns per node |", "|---|---|"]
    lines += ["| %s | %.1f |" % (name, ns) for name, ns in best.items()]
    lines.append("\nGoal: pickle.loads / build ≤ 1: %.2f, %s." % (ratio, verdict(ratio <= 1)))
    return "\n".join(lines)


def run_tree(tree):
    q = Quarn()
    q.run([Statement.let("r", tree)])
    return q.get("r")


def size_table():
    tree = w1_tree()
    lines = ["| protocol | bytes | bytes per node | |", "|---|---|---|---|"]
    for protocol in range(2, HIGHEST + 1):
        size = len(pickle.dumps(tree, protocol=protocol))
        lines.append("| %d | %s | %.2f | %s |" % (protocol, format(size, ","), size / TREE_NODES,
                                                 verdict(size <= 16 * TREE_NODES)))
    return "\n".join(lines) + "\n\nGoal: at most 16 bytes per node at every protocol."


def verdict(holds):
    return "pass" if holds else "**FAIL**"


# --- a rule set in a process pool

_loads = {"machine": 0, "tree": 0}  # what this process unpickled
_given = None  # (rules, machine), given by the initializer


def count_loads():
    """Wraps the loaders that pickle calls (it finds them by name in the
    module) so that this process counts what it unpickles."""
    for kind in _loads:
        name = "_load_" + kind
        load = getattr(velmo, name)

        def counted(payload, functions, load=load, kind=kind):
            _loads[kind] += 1
            return load(payload, functions)

        setattr(velmo, name, counted)


def start_with(payload):
    global _given
    count_loads()
    _given = pickle.loads(payload)


def lookup(code):
    """The rules' function: the table's entry under the code, read from the
    machine the rules run on."""
    return _running.get(code)


_running = None


def run_rules(rules, machine, rows):
    global _running
    _running = machine
    results = machine.run_many(rules, rows, inputs=("code", "quantity"), outputs=("total", "w1"))
    assert results[-1] == (rows[-1][1] * float(rows[-1][0] % 997), EXPECTED["W1"])
    return os.getpid(), dict(_loads)


def task_with_rule_set(rules, machine, rows):
    return run_rules(rules, machine, rows)


def task_on_given(rows):
    return run_rules(*_given, rows)


def rule_set():
    """The rules (W1's tree, and a lookup in the table) and the machine that
    holds the table and the lookup's function."""
    machine = Quarn()
    machine.update((code, float(code % 997)) for code in range(TABLE))
    machine.run([Statement.fn("lookup", lookup)])
    total = Expr.binary_op(Expr.ident("quantity"), "*", Expr.call("lookup", Expr.ident("code")))
    return [Statement.let("total", total), Statement.let("w1", w1_tree())], machine


def in_pool(initializer, initargs, task, args):
    """(seconds, [(pid, loads)...]) of TASKS tasks on a new pool, its start included."""
    start = time.perf_counter()
    with ProcessPoolExecutor(WORKERS, initializer=initializer, initargs=initargs) as pool:
        reports = list(pool.map(task, *zip(*args)))
    return time.perf_counter() - start, reports


def pool_table():
    rules, machine = rule_set()
    payload = pickle.dumps((rules, machine), protocol=HIGHEST)
    chunks = [[(code, 3) for code in range(i * ROWS, (i + 1) * ROWS)] for i in range(TASKS)]
    ways = [
        ("sent with every task", count_loads, (), task_with_rule_set, [(rules, machine, c) for c in chunks]),
        ("given once to each worker by the initializer", start_with, (payload,), task_on_given,
         [(c,) for c in chunks]),
    ]
    lines = ["| the rule set | tasks | workers | machines unpickled | trees unpickled | "
             "bytes sent with each task | bytes loaded once per worker | ms per task, start included |",
             "|---|---|---|---|---|---|---|---|"]
    counts = {}
    for name, initializer, initargs, task, args in ways:
        seconds, reports = in_pool(initializer, initargs, task, args)
        last = {}
        for pid, loads in reports:  # the counts of each worker's last task
            last[pid] = loads
        machines = sum(loads["machine"] for loads in last.values())
        trees = sum(loads["tree"] for loads in last.values())
        counts[name] = (machines, len(last))
        per_task = len(pickle.dumps(args[0], protocol=HIGHEST))
        per_worker = format(len(initargs[0]), ",") if initargs else "—"
        lines.append("| %s | %d | %d | %d | %d | %s | %s | %.1f |" % (
            name, TASKS, len(last), machines, trees, format(per_task, ","), per_worker,
            seconds / TASKS * 1000))
    machines, workers = counts[ways[1][0]]
    lines.append("\nGoal: given by the initializer, the rule set is unpickled once per worker "
                 "(machines unpickled = workers): %d machines in %d workers, %s." %
                 (machines, workers, verdict(machines == workers)))
    return "\n".join(lines)


def main():
    name = "PyPy %s" % ".".join(map(str, sys.pypy_version_info[:3])) if PYPY else "CPython"
    print("### %s (Python %s)\n" % (name, platform.python_version()))
    print(speed_table())
    print()
    print(size_table())
    print()
    print(pool_table())
    print()


if __name__ == "__main__":
    main()
