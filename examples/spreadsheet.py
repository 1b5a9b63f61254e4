"""A small spreadsheet: every cell is a Quarn variable named after the cell.

Formulas are written with Python operators on `Formula` objects, which build
Quarn syntax trees and remember which cells they read. The sheet is then
evaluated in dependency order on one machine, one cell per run, so that a
cell that fails is reported and only the cells that depend on it are skipped.
"""
from __future__ import annotations

import sys
from graphlib import TopologicalSorter
from typing import TYPE_CHECKING, Dict, Union

from velmo import Expr, Quarn, Statement

if TYPE_CHECKING:  # aliases of the stub: what Quarn.get gives, what Expr.literal takes
    from velmo import Result, Value


class Formula:
    """A Quarn expression and the cells it reads."""

    def __init__(self, expr: Expr, reads: frozenset[str] = frozenset()) -> None:
        self.expr = expr
        self.reads = reads

    def __add__(self, other: Formula) -> Formula:
        return Formula(Expr.binary_op(self.expr, "+", other.expr), self.reads | other.reads)

    def __sub__(self, other: Formula) -> Formula:
        return Formula(Expr.binary_op(self.expr, "-", other.expr), self.reads | other.reads)

    def __mul__(self, other: Formula) -> Formula:
        return Formula(Expr.binary_op(self.expr, "*", other.expr), self.reads | other.reads)

    def __truediv__(self, other: Formula) -> Formula:
        return Formula(Expr.binary_op(self.expr, "/", other.expr), self.reads | other.reads)


def ref(cell: str) -> Formula:
    return Formula(Expr.ident(cell), frozenset([cell]))


def const(value: int | float | str) -> Formula:
    return Formula(Expr.literal(value))


def column(letter: str, first: int, last: int) -> list[str]:
    return [f"{letter}{row}" for row in range(first, last + 1)]


def total(cells: list[str]) -> Formula:
    """SUM over cells: one call of a Python function with a vector argument."""
    return Formula(Expr.call("SUM", Expr.vector([Expr.ident(c) for c in cells])), frozenset(cells))


def spreadsheet_sum(values: Result) -> Value:
    """Bound as SUM: the sum of a list of numbers, an int when all are ints."""
    if not isinstance(values, list):
        raise TypeError("SUM takes a range of cells")
    result: int | float = 0
    for v in values:
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            raise TypeError(f"SUM of a non-number: {v!r}")
        result += v
    return result


Cell = Union[int, float, str, Formula]

SHEET: Dict[str, Cell] = {
    "A2": "widgets", "B2": 12, "C2": 2.5,
    "A3": "gadgets", "B3": 5, "C3": 12.0,
    "A4": "gizmos", "B4": 0, "C4": 7.25,
    "A1": "item", "B1": "units", "C1": "price", "D1": "revenue", "E1": "share", "F1": "ratio",
    "D2": ref("B2") * ref("C2"),
    "D3": ref("B3") * ref("C3"),
    "D4": ref("B4") * ref("C4"),
    "B5": total(column("B", 2, 4)),                     # units: ints stay ints
    "D5": total(column("D", 2, 4)),                     # revenue: floats
    "E2": ref("D2") / ref("D5"),                        # share of revenue
    "E4": ref("D4") / ref("D5"),
    "F2": ref("B2") / ref("B4"),                        # widgets per gizmo: 12 / 0 on ints fails
    "F3": ref("F2") * const(100),                       # depends on the failing cell
    "E5": ref("D5") / ref("B5"),                        # revenue per unit
    "A5": const("all ") + ref("B1"),                    # "+" joins text
}


def dependencies(sheet: Dict[str, Cell]) -> Dict[str, frozenset[str]]:
    return {name: cell.reads if isinstance(cell, Formula) else frozenset() for name, cell in sheet.items()}


def evaluate(sheet: Dict[str, Cell]) -> tuple[Quarn, Dict[str, str]]:
    """Runs every cell in dependency order; returns the machine and the problems by cell."""
    quarn = Quarn()
    quarn.run([Statement.fn("SUM", spreadsheet_sum)])
    deps = dependencies(sheet)
    problems: Dict[str, str] = {}
    for name in TopologicalSorter(deps).static_order():
        blocked = sorted(d for d in deps[name] if d in problems)
        if blocked:
            problems[name] = f"skipped: depends on {', '.join(blocked)}"
            continue
        cell = sheet[name]
        expr = cell.expr if isinstance(cell, Formula) else Expr.literal(cell)
        try:
            quarn.run([Statement.let(name, expr)])
        except BaseException as error:  # PanicException derives from BaseException
            if type(error).__name__ != "PanicException":
                raise
            problems[name] = f"error: {error}"
    return quarn, problems


def shown(value: Result) -> str:
    """Ints as they are, floats with two decimals: the kind of a number shows."""
    return f"{value:.2f}" if isinstance(value, float) else str(value)


def main() -> None:
    quarn, problems = evaluate(SHEET)
    sys.stderr.flush()  # failed cells were also reported on standard error
    columns = sorted({name[0] for name in SHEET})
    rows = sorted({int(name[1:]) for name in SHEET})
    print("    " + "".join(f"{c:>10}" for c in columns))
    for row in rows:
        line = f"{row:<4}"
        for c in columns:
            name = f"{c}{row}"
            if name in problems:
                text = "#SKIPPED" if problems[name].startswith("skipped") else "#ERROR"
            else:
                text = shown(quarn.get(name)) if name in SHEET else ""
            line += f"{text:>10}"
        print(line.rstrip())
    for name, problem in sorted(problems.items()):
        print(f"{name}: {problem}")


if __name__ == "__main__":
    main()
