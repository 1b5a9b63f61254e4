"""One rule set over a table of a million records, on every core, with a
process pool.

velmo holds the interpreter lock for a whole run, so one process evaluates
rules on one core. To use them all, the work goes to a pool of processes.
The rule set (the rules, and a machine that holds a catalogue of 100,000
prices) is built once, pickled once, and given to each worker once, by the
pool's initializer. Then the table goes out in chunks of rows, each run
with one `run_columns` in a worker. The same chunks run in this process
first, and the pool's results must be the same, record for record.

    python records_parallel.py [RECORDS] [--workers N] [--chunk ROWS]

The table is a polars DataFrame where polars is installed: `run_columns`
reads its values where they lie, a slice of it pickles as the few buffers
that hold its rows, and the results come back as a DataFrame that shares
the memory of velmo's columns. Elsewhere (PyPy, where polars does not
install) it is a dict of columns, the numbers in `array.array`s and the
rest in lists, which `run_columns` reads as well. The functions a worker
runs are defined at the top level of this file, where it finds them by
name, and the work starts under `if __name__ == "__main__"`, so that the
example also works where workers are started afresh rather than forked
(macOS, Windows, Linux from Python 3.14).
"""
from __future__ import annotations

import argparse
import os
import pickle
import random
import time
from array import array
from collections import Counter
from concurrent.futures import ProcessPoolExecutor
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Sequence, TypeVar, Union, cast

from velmo import Expr, Quarn, Statement

try:
    import polars
    HAVE_POLARS = True
except ImportError:  # PyPy, and any environment without polars: a dict of columns
    HAVE_POLARS = False

if TYPE_CHECKING:  # aliases of the stub: what Quarn.get gives, what Expr.literal takes
    from velmo import Result, Value

CATALOGUE = 100_000  # product codes 0 .. 99,999, each with a unit price
REGIONS = ("DE", "FR", "IT", "US", "local")
TIERS = ("new", "basic", "silver", "gold")
FIELDS = ("code", "quantity", "region", "tier", "express")  # int, int, str, str, bool
OUTPUTS = ("total", "points", "status")  # float, float, str
NUMBERS = ("total", "points")

# A table: a polars DataFrame, or a dict of columns without polars.
Table = Union["polars.DataFrame", Dict[str, Any]]
T = TypeVar("T")


def lit(value: Value) -> Expr:
    return Expr.literal(value)


def var(name: str) -> Expr:
    return Expr.ident(name)


def times(a: Expr, b: Expr) -> Expr:
    return Expr.binary_op(a, "*", b)


def plus(a: Expr, b: Expr) -> Expr:
    return Expr.binary_op(a, "+", b)


def let(name: str, value: Expr) -> Statement:
    return Statement.let(name, value)


def when(condition: Expr, then: Statement) -> Statement:
    return Statement.if_(condition, [then], [])


def choose(name: str, cases: Sequence[tuple[Expr, Value]], default: Value) -> Statement:
    """name = the value of the first case whose condition holds, else default:
    an if whose otherwise-branch holds the next if."""
    chosen = let(name, lit(default))
    for condition, value in reversed(cases):
        chosen = Statement.if_(condition, [let(name, lit(value))], [chosen])
    return chosen


def rules() -> list[Statement]:
    """An order line's price, with its discounts, tax, fees and shipping, in
    the customer's currency; the loyalty points it earns; and a risk score
    that says whether someone should look at it first."""
    quantity, region, tier, express = var("quantity"), var("region"), var("tier"), var("express")
    net, total, risk = var("net"), var("total"), var("risk")
    is_, more = Expr.equals, Expr.greater_than

    def add_risk(points: int) -> Statement:
        return let("risk", plus(risk, lit(points)))

    return [
        let("subtotal", times(Expr.call("unit_price", var("code")), quantity)),
        choose("rate", [(is_(tier, lit("gold")), 0.85), (is_(tier, lit("silver")), 0.93)], 1.0),
        when(more(quantity, lit(10)), let("rate", Expr.binary_op(var("rate"), "-", lit(0.05)))),
        let("net", times(var("subtotal"), var("rate"))),
        when(more(net, lit(1000.0)), let("net", Expr.binary_op(net, "-", lit(25.0)))),
        when(Expr.less_than(net, lit(20.0)), let("net", plus(net, lit(2.5)))),
        choose("tax_rate", [(is_(region, lit("DE")), 0.19), (is_(region, lit("FR")), 0.2),
                            (is_(region, lit("IT")), 0.22)], 0.0),
        choose("shipping", [(more(net, lit(150.0)), 0.0), (is_(region, lit("local")), 4.5),
                            (is_(region, lit("US")), 18.0)], 9.5),
        when(express, let("shipping", plus(var("shipping"), lit(12.0)))),
        let("total", plus(plus(net, times(net, var("tax_rate"))), var("shipping"))),
        choose("fx", [(is_(region, lit("US")), 1.08)], 1.0),
        let("total", times(total, var("fx"))),
        choose("points", [(is_(tier, lit("gold")), 3.0), (is_(tier, lit("silver")), 2.0)], 1.0),
        let("points", times(net, var("points"))),
        choose("risk", [(is_(tier, lit("new")), 30)], 0),
        when(express, add_risk(10)),
        when(more(total, lit(1000.0)), add_risk(25)),
        when(is_(Expr.vector([region, more(quantity, lit(15))]), lit(["US", True])), add_risk(20)),
        choose("status", [(more(total, lit(2500.0)), "review"), (more(risk, lit(50)), "review"),
                          (more(risk, lit(25)), "check")], "ok"),
    ]


def catalogue() -> Quarn:
    """A machine holding the unit price of every product under its code (an
    int name), and the function the rules call to read one."""
    machine = Quarn()
    cents = random.Random(1).choices(range(50, 20_000), k=CATALOGUE)
    machine.update((code, price / 100) for code, price in enumerate(cents))
    machine.run([Statement.fn("unit_price", unit_price)])
    return machine


# A worker's rule set, loaded once by the pool's initializer. The rules run
# on the catalogue's machine: the records' fields are bound there beside the
# prices, under text names where the prices have int names.
_rules: list[Statement] = []
_machine: Optional[Quarn] = None


def start_worker(payload: bytes) -> None:
    global _rules, _machine
    _rules, _machine = pickle.loads(payload)


def unit_price(code: Result) -> Value:
    """The price stored under the code in the machine running the rules."""
    assert _machine is not None and isinstance(code, int)
    return _machine.get(code)


def run_chunk(chunk: Table) -> Table:
    """The rules over one chunk of the table; the results as a table of a
    column per output, of the chunk's kind."""
    assert _machine is not None
    result = _machine.run_columns(_rules, chunk, inputs=FIELDS, outputs=OUTPUTS)
    if not isinstance(chunk, dict):
        return polars.DataFrame(result)
    # Without polars, the numbers go back as array.array, which pickle writes
    # as their bytes: PyPy's pickle, written in Python, takes eight times as
    # long over a list of 10,000 floats. Every row gives floats there, since
    # a failed row raises.
    values = {name: result[name].to_pylist() for name in OUTPUTS}
    return {name: array("d", cast(List[float], column)) if name in NUMBERS else column
            for name, column in values.items()}


def generate(count: int, seed: int = 23) -> Table:
    """The records, as a table."""
    rng = random.Random(seed)
    codes, quantities = rng.choices(range(CATALOGUE), k=count), rng.choices(range(1, 21), k=count)
    columns: Dict[str, Any] = {
        "code": array("q", codes) if not HAVE_POLARS else codes,
        "quantity": array("q", quantities) if not HAVE_POLARS else quantities,
        "region": rng.choices(REGIONS, weights=(4, 3, 2, 2, 1), k=count),
        "tier": rng.choices(TIERS, weights=(2, 5, 2, 1), k=count),
        "express": rng.choices((False, True), weights=(9, 1), k=count),
    }
    return polars.DataFrame(columns) if HAVE_POLARS else columns


def chunks(table: Table, size: int) -> Iterator[Table]:
    if not isinstance(table, dict):
        yield from table.iter_slices(size)
        return
    for start in range(0, len(table[FIELDS[0]]), size):
        yield {name: column[start:start + size] for name, column in table.items()}


def gather(parts: Iterator[Table]) -> Table:
    """The results of the chunks, in order, as one table."""
    frames: List[polars.DataFrame] = []
    joined: Dict[str, List[Any]] = {name: [] for name in OUTPUTS}
    for part in parts:
        if not isinstance(part, dict):
            frames.append(part)
            continue
        for name, column in joined.items():
            column.extend(part[name])
    return polars.concat(frames) if frames else joined


def same(a: Table, b: Table) -> bool:
    if isinstance(a, dict) and isinstance(b, dict):
        return a == b
    return not isinstance(a, dict) and not isinstance(b, dict) and a.equals(b)


def timed(run: Callable[[], T]) -> tuple[T, float]:
    start = time.perf_counter()
    result = run()
    return result, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("records", type=int, nargs="?", default=1_000_000)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--chunk", type=int, default=10_000, help="records per task")
    args = parser.parse_args()

    payload = pickle.dumps((rules(), catalogue()), protocol=pickle.HIGHEST_PROTOCOL)
    with ProcessPoolExecutor(args.workers, initializer=start_worker, initargs=(payload,)) as pool:
        # The workers start now, while this process is small: a forked
        # worker shares its parent's memory until either writes to it, and
        # its garbage collector would walk the parent's objects (copying the
        # pages it marks) again and again.
        _, starting = timed(pool.submit(int).result)
        records = generate(args.records)
        print(f"{args.records:,} records in chunks of {args.chunk:,}; the rules and a catalogue of "
              f"{CATALOGUE:,} prices, pickled once: {len(payload):,} bytes; the table "
              + ("a polars DataFrame" if HAVE_POLARS else "a dict of columns"))
        start_worker(payload)
        alone, one = timed(lambda: gather(map(run_chunk, chunks(records, args.chunk))))
        pooled, many = timed(lambda: gather(pool.map(run_chunk, chunks(records, args.chunk))))
    if not same(pooled, alone):
        raise SystemExit("the pool's results differ from one process's")

    many += starting
    statuses = Counter(alone["status"])
    print("statuses: " + ", ".join(f"{s} {statuses[s]:,}" for s in ("ok", "check", "review")))
    print(f"one process: {args.records / one:10,.0f} records/s ({one:.2f} s)")
    print(f"{args.workers} workers:   {args.records / many:10,.0f} records/s ({many:.2f} s, "
          f"starting them included)")
    print(f"speed-up: {one / many:.2f}x, the same results")


if __name__ == "__main__":
    main()
