"""Eight threads share one machine whose callbacks yield, rebind their own
name, raise, re-enter the machine and collect garbage. Run in a child
process; VELMO_STRESS_RUNS sets the number of runs in all (100000 for the
full soak, a few thousand by default)."""

import os

from conftest import assert_clean, run_isolated

STRESS = """
import gc, threading, time

THREADS = 8
RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else {runs}
SLOTS = 4
q = Quarn()
written = set()
problems = []


def worker(t):
    fname = f"f{{t}}"
    inner = f"inner{{t}}"
    panics = expected = 0
    last_inner = None

    def callback(x):
        nonlocal last_inner
        time.sleep(0)
        i = x[1]
        if i % 7 == 0:
            q.run([Statement.let(fname, Expr.literal(i))])  # drops this very function
        if i % 5 == 1:
            raise ValueError(i)
        if i % 3 == 2:
            q.run([Statement.let(inner, Expr.literal(x))])
            if q.get(inner) != x:
                problems.append(("inner", t, i))
            last_inner = x
        if i % 50 == 3:
            gc.collect()
        return x if i % 2 else f"{{t}}:{{i}}"

    for i in range(RUNS // THREADS):
        value = [t, i]
        written.add((t, i))
        written.add(f"{{t}}:{{i}}")
        program = [Statement.fn(fname, callback),
                   Statement.let(f"shared{{i % SLOTS}}", Expr.call(fname, Expr.literal(value)))]
        expected += i % 5 == 1
        try:
            q.run(program)
        except BaseException as e:
            if type(e).__name__ != "PanicException":
                problems.append(("exception", t, i, repr(e)))
            panics += 1
    if panics != expected:
        problems.append(("panics", t, panics, expected))
    if last_inner is not None and q.get(inner) != last_inner:
        problems.append(("final inner", t))


threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
for th in threads:
    th.start()
for th in threads:
    th.join()
for k in range(SLOTS):
    final = q.get(f"shared{{k}}")
    if (tuple(final) if isinstance(final, list) else final) not in written:
        problems.append(("slot", k, final))
assert not problems, problems[:10]
print("ok", RUNS)
"""


def test_threads_share_one_machine():
    runs = int(os.environ.get("VELMO_STRESS_RUNS", "4000"))
    assert assert_clean(run_isolated(STRESS.format(runs=runs), timeout=3600)) == ["ok", str(runs)]
