"""Runs every workload on velmo and on its comparisons under the running
interpreter, and prints the results as a Markdown table with the goals.

Run by bench/run.sh under each interpreter, with velmo installed and the floor
module velmo_floor on the path. Progress goes to standard error, the tables to
standard output.
"""
import platform
import sys

import cases_ast
import cases_floor
import cases_velmo
import cases_walker
from timing import PYPY, Best, prepare
from workloads import EXPECTED, WORKLOADS

try:
    import cases_lua
except ImportError:  # lupa has no build for this interpreter
    cases_lua = None

ROUNDS = 12  # every case is sampled in every round; its fastest sample counts
SAMPLES = 5
COLUMNS = [("velmo", cases_velmo), ("walker", cases_walker), ("ast", cases_ast), ("lupa", cases_lua)]

# Upper bounds on velmo's time as a fraction of another's: (CPython, PyPy).
WALKER_GOALS = {"W2": (0.08, 0.3), "W2b": (0.12, 0.4), "W3": (0.12, 0.4), "W6": (0.06, 0.25), "W7": (0.15, 0.4)}
FLOOR_GOALS = {"W1": (1.5, 1.5), "W4": (1.5, 1.3), "W5i": (1.5, 1.5), "W5l": (1.2, 1.2)}
STR_INT_GOAL = 1.10  # get by str against get by int


def collect():
    """Every case, keyed by (workload, column); floors are 'floor:<variant>'."""
    cases = {}
    for column, module in COLUMNS:
        for key, _, _ in WORKLOADS:
            make = getattr(module, key.lower().replace("-", "_"), None) if module else None
            if make:
                cases[(key, column)] = make()
    for (key, variant), case in cases_floor.variants().items():
        cases[(key, "floor:" + variant)] = case
    return cases


def check(cases):
    """Every column computes what velmo computes, which is what the workload should."""
    results = {}
    for (key, column), case in cases.items():
        case.loop(1)
        results[(key, column)] = case.result()
    for (key, column), result in results.items():
        if column.startswith("floor:"):
            continue
        velmo = results[(key, "velmo")]
        if type(result) is not type(EXPECTED[key]) or result != EXPECTED[key] or result != velmo:
            raise AssertionError("%s on %s gave %.60r; velmo gave %.60r" % (key, column, result, velmo))


def run(cases):
    """ns per unit of every case, and the cases that never ran undisturbed."""
    reps = {}
    for name, case in cases.items():
        reps[name] = prepare(case)
        print("warmed up %-8s %-22s %d runs a sample" % (*name, reps[name]), file=sys.stderr)
    best = {name: Best() for name in cases}
    for round_ in range(ROUNDS):
        for name, case in cases.items():
            undisturbed = best[name].sample(case, reps[name], SAMPLES)
            print("round %2d  %-8s %-22s %d of %d undisturbed, best %10.1f ns"
                  % (round_ + 1, *name, undisturbed, SAMPLES, best[name].ns), file=sys.stderr)
    disturbed = [name for name, b in best.items() if b.undisturbed == float("inf")]
    return {name: b.ns for name, b in best.items()}, disturbed


def chosen_floor(best, key):
    """(ns, variant) of the floor that velmo is held to: its cheapest variant."""
    floors = [(ns, column[6:]) for (k, column), ns in best.items() if k == key and column.startswith("floor:")]
    return min(floors) if floors else (None, None)


def number(ns):
    if ns is None:
        return "—"
    return "%.1f" % ns if ns < 100 else "{:,.0f}".format(ns)


def ratio(a, b):
    if a is None or b is None:
        return "—"
    r = a / b
    return "%.3f" % r if r < 0.1 else "%.2f" % r


def goal(key, best, host):
    velmo = best.get((key, "velmo"))
    if key in WALKER_GOALS:
        bound, measured, what = WALKER_GOALS[key][host], velmo / best[(key, "walker")], "velmo/walker"
    elif key in FLOOR_GOALS:
        bound, measured, what = FLOOR_GOALS[key][host], velmo / chosen_floor(best, key)[0], "velmo/floor"
    elif key == "W5i-int":
        measured = best[("W5i", "velmo")] / velmo
        bound, what = STR_INT_GOAL, "get str/int (%.2f)" % measured
    else:
        return "", ""
    return "%s ≤ %g" % (what, bound), "pass" if measured <= bound else "**FAIL**"


def table(best):
    host = 1 if PYPY else 0
    lupa = cases_lua is not None
    head = ["workload", "unit", "velmo ns", "walker ns", "velmo/walker", "ast+exec ns"]
    head += ["lupa ns"] if lupa else []
    head += ["floor ns", "velmo/floor", "goal", ""]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for key, unit, _ in WORKLOADS:
        velmo, walker = best.get((key, "velmo")), best.get((key, "walker"))
        floor = chosen_floor(best, key)[0]
        row = [key, unit, number(velmo), number(walker), ratio(velmo, walker), number(best.get((key, "ast")))]
        row += [number(best.get((key, "lupa")))] if lupa else []
        row += [number(floor), ratio(velmo, floor), *goal(key, best, host)]
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


def floor_table(best):
    lines = ["| floor | variant | ns | |", "|---|---|---|---|"]
    for (key, column), ns in best.items():
        if column.startswith("floor:"):
            mark = "the floor" if chosen_floor(best, key)[1] == column[6:] else ""
            lines.append("| %s | %s | %s | %s |" % (key, column[6:], number(ns), mark))
    return "\n".join(lines)


def main():
    cases = collect()
    check(cases)
    best, disturbed = run(cases)
    name = "PyPy %s" % ".".join(map(str, sys.pypy_version_info[:3])) if PYPY else "CPython"
    print("### %s (Python %s)\n" % (name, platform.python_version()))
    print(table(best))
    if disturbed:
        print("\nNo sample ran undisturbed for: %s." % ", ".join("%s %s" % name for name in disturbed))
    print("\nFloor variants:\n")
    print(floor_table(best))
    print()


if __name__ == "__main__":
    main()
