"""W8, one rule set over many records: the records, the rules as the
hand-written Python function that every other column must agree with, and
the shape of a case that runs the rules over a pass of records.

The rules, five top-level statements run per record of three fields:

    1. shipping = weight * 0.5 + 4.0
    2. if tier == "gold": rate = 0.9   else: rate = 1.0
    3. total = subtotal * rate + shipping
    4. if total > 100.0: label = "large"   else: label = "small"
    5. total = total * 1.2

Each record gives back (total, label). Every column writes the rules in its
own form, in its own module (cases_python, cases_ast_once, cases_lua_once,
cases_walker, cases_simpleeval, cases_asteval, cases_velmo).
"""
import random

from workloads import Case

RECORDS = 10_000  # per pass; the figures are ns per record
SEED = 8
TIERS = ("gold", "silver", "bronze")
INPUTS = ("tier", "weight", "subtotal")
OUTPUTS = ("total", "label")


def rules(tier, weight, subtotal):
    """The rules as a user would write them in Python."""
    shipping = weight * 0.5 + 4.0
    rate = 0.9 if tier == "gold" else 1.0
    total = subtotal * rate + shipping
    label = "large" if total > 100.0 else "small"
    return total * 1.2, label


def generate(count):
    """`count` records (tier, weight, subtotal), drawn from a seeded random
    generator: the same records on every run, and W9's table begins with
    W8's records."""
    rng = random.Random(SEED)
    for _ in range(count):
        yield rng.choice(TIERS), rng.uniform(0.1, 30.0), rng.uniform(1.0, 200.0)


SOURCE = list(generate(RECORDS))
EXPECTED = [rules(*record) for record in SOURCE]


def fresh_records():
    """The records as new objects: a new list of new tuples of new floats,
    as input read from outside is (`x * 1.0` makes a new float object). It
    matters on PyPy, where an object that has crossed into a C extension keeps
    the C-level copy made for it: there `Expr.literal` of a tuple of these
    costs twice as much as of a tuple that crossed before, and a fifth more
    than of a new tuple of floats that crossed before. The tiers are the
    three str constants, as a reader that interns a column's few values would
    give them."""
    return [(tier, weight * 1.0, subtotal * 1.0) for tier, weight, subtotal in SOURCE]


def record_case(run_pass):
    """A Case whose repetition runs the rules over one pass of fresh records:
    run_pass(records) returns the list of (total, label). Each repetition
    consumes records staged for it beforehand, and what a pass made and
    consumed is released after the timed region, so neither making nor
    freeing them is timed, and no case holds records while others run."""
    staged, done = [], []

    def stage(reps):
        done.clear()
        staged[:] = [fresh_records() for _ in range(reps)]

    def loop(reps):
        for _ in range(reps):
            records = staged.pop()
            done.append((records, run_pass(records)))

    return Case(RECORDS, loop, lambda: done[-1][1], stage, done.clear)


def update_run_get(machine, rules):
    """A Case running the rules on a machine that has update, run and get
    (velmo's Quarn, the walker): per record an update with a dict of its
    fields, a run of the rules and a get of each result."""

    def run_pass(records):
        results = []
        for tier, weight, subtotal in records:
            machine.update({"tier": tier, "weight": weight, "subtotal": subtotal})
            machine.run(rules)
            results.append((machine.get("total"), machine.get("label")))
        return results

    return record_case(run_pass)


def same_results(results):
    """Whether results are EXPECTED exactly: a list of (float, str) tuples,
    the floats the same bit for bit."""
    if type(results) is not list or len(results) != len(EXPECTED):
        return False
    for got, want in zip(results, EXPECTED):
        if type(got) is not tuple or len(got) != 2 or type(got[0]) is not float or type(got[1]) is not str:
            return False
        if got[0].hex() != want[0].hex() or got[1] != want[1]:
            return False
    return True
