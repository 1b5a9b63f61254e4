"""Runs every workload on velmo and on its comparisons under the running
interpreter, and prints the results as Markdown tables: the figures, W8's
and W9's figures, the goals with their verdicts, and the variants of the
floors.

Run by bench/run.sh under each interpreter, with velmo installed and the floor
module velmo_floor on the path, as `bench.py [RESULTS.json]`. Progress goes to
standard error, the tables to standard output, and the figures, as JSON, to
the file named (which bench/chart.py draws).
"""
import json
import platform
import sys

import cases_ast
import cases_ast_once
import cases_floor
import cases_limits
import cases_python
import cases_velmo
import cases_walker
import tables
from formats import number, ratio
from records import EXPECTED as W8_EXPECTED, same_results
from timing import PYPY, Best, prepare, untimed
from workloads import EXPECTED, WORKLOADS

try:
    import cases_lua
    import cases_lua_once
except ImportError:  # lupa has no build for this interpreter
    cases_lua = cases_lua_once = None
try:
    import cases_simpleeval
except ImportError:
    cases_simpleeval = None
try:
    import cases_asteval
except ImportError:
    cases_asteval = None
try:
    import cases_numpy
except ImportError:  # W9's peers where they install
    cases_numpy = None
try:
    import cases_arrow
except ImportError:
    cases_arrow = None
try:
    import cases_duckdb
except ImportError:
    cases_duckdb = None
try:
    import cases_polars
except ImportError:
    cases_polars = None

ROUNDS = 12  # every case is sampled in every round; its fastest sample counts
SAMPLES = 5
W9_SAMPLES = 1  # a pass over W9's table lasts 30 ms to 2 s: one a round is plenty

# (key, heading, module): the columns in the order of the table. A module of
# None is a column that cannot run here: its figures read "—". The Lua columns
# are left out where lupa has no build.
COLUMNS = [
    ("velmo", "velmo", cases_velmo),
    ("limits", "velmo with limits", cases_limits if cases_limits.available() else None),
    ("walker", "walker", cases_walker),
    ("ast", "ast+exec", cases_ast),
    ("ast-once", "Python compiled once", cases_ast_once),
]
if cases_lua:
    COLUMNS += [("lua", "Lua", cases_lua), ("lua-once", "Lua compiled once", cases_lua_once)]

FLOOR_NAMES = {"W1": "whole-build floor", "W4": "native-loop callback floor"}

# W8's columns, the rows of its own table: (key, heading, maker of its Case).
# A maker that is None, or that returns None, is a column that cannot run
# here; its figure reads "—" and UNAVAILABLE says why.
W8_COLUMNS = [
    ("python", "hand-written Python function", cases_python.w8),
    ("ast-once", "Python compiled once", cases_ast_once.w8),
    ("lua-once", "Lua compiled once", cases_lua_once and cases_lua_once.w8),
    ("walker", "walker", cases_walker.w8),
    ("simpleeval", "simpleeval", cases_simpleeval and cases_simpleeval.w8),
    ("asteval", "asteval", cases_asteval and cases_asteval.w8),
    ("builders", "velmo, builders", cases_velmo.w8_builders),
    ("update", "velmo, update", cases_velmo.w8_update),
    ("run_many", "velmo, run_many", cases_velmo.w8_run_many),
    ("floor", "floor", cases_floor.w8),
    ("floor-shared", "floor with shared labels", cases_floor.w8_shared),
]
UNAVAILABLE = {
    "lua-once": "lupa has no build for this interpreter",
    "simpleeval": "simpleeval is not installed",
    "asteval": "asteval is not installed",
    "update": "this velmo has no Quarn.update",
    "run_many": "this velmo has no Quarn.run_many",
}

# W9's columns, the rows of its own table, as W8's.
W9_COLUMNS = [
    ("arrow", "pyarrow.compute kernels", cases_arrow and cases_arrow.w9),
    ("duckdb", "DuckDB, one SQL query", cases_duckdb and cases_duckdb.w9),
    ("polars", "polars expressions", cases_polars and cases_polars.w9),
    ("numpy", "numpy np.where", cases_numpy and cases_numpy.w9),
    ("python", "hand-written Python function", cases_python.w9),
    ("run_many", "velmo, run_many", cases_velmo.w9_run_many),
    ("run_columns", "velmo, run_columns", cases_velmo.w9_run_columns),
]
W9_UNAVAILABLE = {
    "arrow": "pyarrow does not install on PyPy" if PYPY else "pyarrow is not installed",
    "duckdb": "DuckDB does not install on PyPy" if PYPY else "duckdb is not installed",
    "polars": "polars does not install on PyPy" if PYPY else "polars is not installed",
    "numpy": "numpy is not installed",
    "run_many": "this velmo has no Quarn.run_many",
    "run_columns": "this velmo has no Quarn.run_columns",
}


def goals(pypy):
    """Every goal: (workload, (key, column) measured, (key, column) it is
    divided by, upper bound of the ratio). A column "floor" is the
    workload's cheapest floor variant."""
    host = 1 if pypy else 0
    once = "ast-once" if pypy else "lua-once"
    walker = {"W2": (0.08, 0.3), "W2b": (0.12, 0.4), "W3": (0.12, 0.4), "W6": (0.06, 0.25), "W7": (0.15, 0.4)}
    floor = {"W1": 1.5, "W4": 1.5, "W5i": 1.5, "W5l": 1.2}
    compiled_once = {"W2b": (once, 1.0), "W3": (once, 1.0), "W6": (once, 1.0), "W7": ("ast-once", 0.3)}
    limits = ["W2", "W2b", "W3", "W6", "W7"]
    rows = []
    for key, _, _ in WORKLOADS:
        velmo = (key, "velmo")
        if key in floor:
            rows.append((key, velmo, (key, "floor"), floor[key]))
        if key in walker:
            rows.append((key, velmo, (key, "walker"), walker[key][host]))
        if key in compiled_once:
            column, bound = compiled_once[key]
            rows.append((key, velmo, (key, column), bound))
        if key in limits:
            rows.append((key, (key, "limits"), velmo, 1.15))
        if key == "W5i-int":  # get by a str name costs no more than by an int one
            rows.append((key, ("W5i", "velmo"), velmo, 1.10))
    if pypy:
        rows.append(("W8", ("W8", "run_many"), ("W8", "walker"), 1.0))
    else:
        rows += [("W8", ("W8", "run_many"), ("W8", "python"), 1.0),
                 ("W8", ("W8", "update"), ("W8", "ast-once"), 0.6),
                 ("W8", ("W8", "builders"), ("W8", "ast-once"), 1.5)]
    columns = ("W9", "run_columns")
    rows += [("W9", columns, ("W9", "run_many"), 0.25), ("W9", columns, ("W9", "numpy"), 1.0)]
    if not pypy:  # the goal of the engine's next step
        rows.append(("W9", columns, ("W9", "polars"), 1.0))
    return rows


def collect():
    """Every case, keyed by (workload, column); floors are 'floor:<variant>'."""
    cases = {}
    for column, _, module in COLUMNS:
        for key, _, _ in WORKLOADS:
            make = getattr(module, key.lower().replace("-", "_"), None) if module else None
            if make:
                cases[(key, column)] = make()
    for (key, variant), case in cases_floor.variants().items():
        cases[(key, "floor:" + variant)] = case
    for column, _, make in W8_COLUMNS:
        case = make() if make else None
        if case:
            cases[("W8", column)] = case
    if tables.unavailable() is None:
        tables.table()
        for column, _, make in W9_COLUMNS:
            case = make() if make else None
            if case:
                cases[("W9", column)] = case
    return cases


def check(cases):
    """Every column and every floor computes what velmo computes, which is what
    the workload should (a floor that reads nothing back has no result)."""
    for (key, column), case in cases.items():
        untimed(case, 1)
        result = case.result()
        case.release()
        if key == "W8":
            if not same_results(result):
                wrong = next(i for i, want in enumerate(W8_EXPECTED) if i >= len(result) or result[i] != want)
                raise AssertionError("W8 on %s gave %.60r for record %d, not %r"
                                     % (column, result[wrong:wrong + 1], wrong, W8_EXPECTED[wrong]))
            continue
        if key == "W9":
            wrong = tables.difference(result)
            if wrong:
                raise AssertionError("W9 on %s gave %s" % (column, wrong))
            continue
        if result is None and column.startswith("floor:"):
            continue
        velmo = cases[(key, "velmo")].result()
        if type(result) is not type(EXPECTED[key]) or result != EXPECTED[key] or result != velmo:
            raise AssertionError("%s on %s gave %.60r; velmo gave %.60r" % (key, column, result, velmo))


def run(cases):
    """ns per unit of every case, and the cases that never ran undisturbed."""
    reps = {}
    for name, case in cases.items():
        reps[name] = prepare(case)
        print("warmed up %-8s %-24s %d runs a sample" % (*name, reps[name]), file=sys.stderr)
    best = {name: Best() for name in cases}
    for round_ in range(ROUNDS):
        for name, case in cases.items():
            samples = W9_SAMPLES if name[0] == "W9" else SAMPLES
            undisturbed = best[name].sample(case, reps[name], samples)
            print("round %2d  %-8s %-24s %d of %d undisturbed, best %10.1f ns"
                  % (round_ + 1, *name, undisturbed, samples, best[name].ns), file=sys.stderr)
    disturbed = [name for name, b in best.items() if b.undisturbed == float("inf")]
    best = {name: b.ns for name, b in best.items()}
    for key, _, _ in WORKLOADS:
        floor = chosen_floor(best, key)[0]
        if floor is not None:
            best[(key, "floor")] = floor
    return best, disturbed


def chosen_floor(best, key):
    """(ns, variant) of the floor that velmo is held to: its cheapest variant."""
    floors = [(ns, column[6:]) for (k, column), ns in best.items() if k == key and column.startswith("floor:")]
    return min(floors) if floors else (None, None)


def table(best):
    head = ["workload", "unit"] + ["%s ns" % heading for _, heading, _ in COLUMNS] + ["floor ns"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for key, unit, _ in WORKLOADS:
        figures = [number(best.get((key, column))) for column, _, _ in COLUMNS + [("floor", "", None)]]
        lines.append("| " + " | ".join([key, unit] + figures) + " |")
    return "\n".join(lines)


def w8_table(best):
    """W8's columns as rows, with their ratios to the two Python peers."""
    python, once = best.get(("W8", "python")), best.get(("W8", "ast-once"))
    lines = ["| W8: one rule set over 10,000 records | ns per record | × hand-written | × Python compiled once |",
             "|---|---|---|---|"]
    for column, title, _ in W8_COLUMNS:
        ns = best.get(("W8", column))
        ratios = [ratio(ns / peer) if ns is not None and peer else "—" for peer in (python, once)]
        lines.append("| %s | %s | %s | %s |" % (title, number(ns), *ratios))
    missing = ["%s (%s)" % (title, UNAVAILABLE[column]) for column, title, _ in W8_COLUMNS
               if ("W8", column) not in best]
    if missing:
        lines.append("\nNot run here: %s." % "; ".join(missing))
    return "\n".join(lines)


def w9_table(best):
    """W9's columns as rows, with their ratios to the hand-written function
    and to numpy."""
    python, numpy = best.get(("W9", "python")), best.get(("W9", "numpy"))
    lines = ["| W9: the rules over a table of %s records | ns per record | × hand-written | × np.where |"
             % format(tables.RECORDS, ","), "|---|---|---|---|"]
    for column, title, _ in W9_COLUMNS:
        ns = best.get(("W9", column))
        ratios = [ratio(ns / peer) if ns is not None and peer else "—" for peer in (python, numpy)]
        lines.append("| %s | %s | %s | %s |" % (title, number(ns), *ratios))
    why = tables.unavailable()
    missing = ["%s (%s)" % (title, why or W9_UNAVAILABLE[column]) for column, title, _ in W9_COLUMNS
               if ("W9", column) not in best]
    if missing:
        lines.append("\nNot run here: %s." % "; ".join(missing))
    return "\n".join(lines)


def heading(key, column):
    if column == "floor":
        return FLOOR_NAMES.get(key, "floor")
    if key in ("W8", "W9"):
        return next(title for c, title, _ in (W8_COLUMNS if key == "W8" else W9_COLUMNS) if c == column)
    return next(title for c, title, _ in COLUMNS if c == column)


def goal_rows(best):
    """Every goal as (workload, what is divided by what, bound, ratio or
    None, whether it holds or None)."""
    rows = []
    for key, over, under, bound in goals(PYPY):
        a, b = best.get(over), best.get(under)
        measured = a / b if a is not None and b is not None else None
        what = "%s / %s" % (heading(*over), heading(*under))
        if key == "W5i-int":
            what = "get by str / get by int"
        rows.append((key, what, bound, measured, None if measured is None else measured <= bound))
    return rows


def goal_table(best):
    lines = ["| workload | goal | ratio | |", "|---|---|---|---|"]
    for key, what, bound, measured, holds in goal_rows(best):
        verdict = "—" if holds is None else "pass" if holds else "**FAIL**"
        shown = "—" if measured is None else ratio(measured)
        lines.append("| %s | %s ≤ %g | %s | %s |" % (key, what, bound, shown, verdict))
    return "\n".join(lines)


def floor_table(best):
    lines = ["| floor | variant | ns | |", "|---|---|---|---|"]
    for (key, column), ns in best.items():
        if column.startswith("floor:"):
            mark = "the floor" if chosen_floor(best, key)[1] == column[6:] else ""
            lines.append("| %s | %s | %s | %s |" % (key, column[6:], number(ns), mark))
    return "\n".join(lines)


def write_results(path, name, best):
    """The figures as JSON, for bench/chart.py: per workload, ns per unit of
    every column, with the headings, units and goals."""
    figures, headings = {}, {}
    for (key, column), ns in best.items():
        figures.setdefault(key, {})[column] = ns
        if not column.startswith("floor:"):
            headings.setdefault(key, {})[column] = heading(key, column)
    results = {
        "interpreter": name,
        "python": platform.python_version(),
        "lua": cases_lua_once.implementation() if cases_lua_once else None,
        "units": dict([(key, unit) for key, unit, _ in WORKLOADS] + [("W8", "record"), ("W9", "record")]),
        "w9_records": tables.RECORDS,
        "headings": headings,
        "figures": figures,
        "goals": [dict(zip(("workload", "goal", "bound", "ratio", "holds"), row)) for row in goal_rows(best)],
    }
    with open(path, "w", encoding="utf-8") as out:
        json.dump(results, out, indent=1, ensure_ascii=False)


def main():
    cases = collect()
    check(cases)
    best, disturbed = run(cases)
    name = "PyPy %s" % ".".join(map(str, sys.pypy_version_info[:3])) if PYPY else "CPython"
    print("### %s (Python %s)\n" % (name, platform.python_version()))
    print(table(best))
    if cases_lua_once:
        print("\nLua compiled once runs on %s." % cases_lua_once.implementation())
    if disturbed:
        print("\nNo sample ran undisturbed for: %s." % ", ".join("%s %s" % name for name in disturbed))
    print("\n" + w8_table(best))
    print("\n" + w9_table(best))
    print("\nGoals:\n")
    print(goal_table(best))
    print("\nFloor variants:\n")
    print(floor_table(best))
    print()
    if len(sys.argv) > 1:
        write_results(sys.argv[1], name, best)


if __name__ == "__main__":
    main()
