"""W9, W8's rules over a table: the table, the results every column must
give, and the shape of a case that runs the rules over the whole table.

The records are W8's (records.py): `tier` a str, `weight` and `subtotal`
floats in; `total` a float and `label` a str out. Here they come as a table
and go back as one, as records read from a Parquet file or a database do:

- under CPython, a `pyarrow.Table` of 1,000,000 records (columns `tier`
  utf8, `weight` and `subtotal` float64) in, and a `pyarrow.Table` of
  `total` float64 and `label` text out;
- under PyPy, where pyarrow does not install, 300,000 records as a dict of
  a list of str and two numpy float64 arrays in, and a pair of columns out,
  each in the form its maker gives: lists of Python values from Python
  code, numpy arrays from numpy, velmo's columns from velmo. Making a
  Python object of every value costs PyPy more than the rules do (a str
  made in C crosses its C-API layer), so no column is made to convert its
  results into another's form inside its timing.

Every column writes the rules in its own form, in its own module
(cases_python, cases_velmo, cases_numpy, cases_arrow, cases_duckdb,
cases_polars).
"""
from array import array

from records import INPUTS, OUTPUTS, generate, rules
from timing import PYPY
from workloads import Case

try:
    import numpy
except ImportError:  # W9 reads "—" where the columns cannot be made
    numpy = None
try:
    import pyarrow
except ImportError:
    pyarrow = None

RECORDS = 300_000 if PYPY else 1_000_000  # the figures are ns per record


def unavailable():
    """Why W9 cannot run under this interpreter, or None when it can."""
    if numpy is None:
        return "numpy is not installed"
    if not PYPY and pyarrow is None:
        return "pyarrow is not installed"
    return None


def _columns():
    """The records as a list per field, the first 10,000 of them W8's."""
    tiers, weights, subtotals = [], [], []
    for tier, weight, subtotal in generate(RECORDS):
        tiers.append(tier)
        weights.append(weight)
        subtotals.append(subtotal)
    return tiers, weights, subtotals


def _prepare():
    """The table, and the results of the hand-written function: the totals
    as the bytes of their doubles, so that a comparison is bit for bit, and
    the labels."""
    tiers, weights, subtotals = _columns()
    totals, labels = [], []
    for record in zip(tiers, weights, subtotals):
        total, label = rules(*record)
        totals.append(total)
        labels.append(label)
    weights, subtotals = numpy.array(weights), numpy.array(subtotals)
    if PYPY:
        table = {"tier": tiers, "weight": weights, "subtotal": subtotals}
    else:
        table = pyarrow.table({"tier": pyarrow.array(tiers, pyarrow.string()), "weight": weights,
                               "subtotal": subtotals})
    return table, array("d", totals).tobytes(), labels


TABLE = EXPECTED_TOTALS = EXPECTED_LABELS = None


def table():
    """The input table, made on first use (a few seconds under CPython)."""
    global TABLE, EXPECTED_TOTALS, EXPECTED_LABELS
    if TABLE is None:
        TABLE, EXPECTED_TOTALS, EXPECTED_LABELS = _prepare()
    return TABLE


def fresh_table():
    """The table for one pass. An Arrow table never changes and nothing is
    made for it as it crosses, so every pass reads the same one. Under PyPy
    the columns are new objects, as W8's records are: a new list of the
    three tier constants and new arrays, since a list that crossed into a C
    extension keeps the C-level copy made for it."""
    source = table()
    if not PYPY:
        return source
    return {"tier": list(source["tier"]), "weight": source["weight"].copy(),
            "subtotal": source["subtotal"].copy()}


def python_values(source):
    """The table's columns as lists of Python values, in INPUTS order."""
    if PYPY:
        return [source["tier"], source["weight"].tolist(), source["subtotal"].tolist()]
    return [source.column(name).to_pylist() for name in INPUTS]


def output_table(totals, labels):
    """The results of Python code as a table of the interpreter's form, from
    a sequence of floats and one of str: under PyPy two lists."""
    if PYPY:
        return list(totals), list(labels)
    return pyarrow.table({"total": pyarrow.array(totals, pyarrow.float64()),
                          "label": pyarrow.array(labels, pyarrow.string())})


def table_case(run_pass, threads=False):
    """A Case whose repetition runs the rules over the whole table:
    run_pass(table) returns the table of results. What a pass made is kept
    until after the timed region, so freeing it is not timed. `threads`
    marks a peer that works on a pool of its own (see Case)."""
    staged, done = [], []

    def stage(reps):
        done.clear()
        staged[:] = [fresh_table() for _ in range(reps)]

    def loop(reps):
        for _ in range(reps):
            done.append(run_pass(staged.pop()))

    return Case(RECORDS, loop, lambda: done[-1], stage, done.clear, threads=threads)


def _totals_and_labels(result):
    """(bytes of the totals' doubles, list of labels), or a reason why the
    result is no table of the two outputs."""
    if PYPY:
        if type(result) is not tuple or len(result) != 2:
            return "not a (totals, labels) pair"
        totals, labels = result
        if len(totals) and not isinstance(totals[0], float):
            return "totals of %s" % type(totals[0]).__name__
        return numpy.asarray(totals, dtype=numpy.float64).tobytes(), list(labels)
    if not isinstance(result, pyarrow.Table) or result.column_names != list(OUTPUTS):
        return "not a table of %s" % ", ".join(OUTPUTS)
    total, label = result.column("total"), result.column("label")
    if total.type != pyarrow.float64() or total.null_count or label.null_count:
        return "total is %s with %d nulls, label has %d" % (total.type, total.null_count, label.null_count)
    if not (pyarrow.types.is_string(label.type) or pyarrow.types.is_large_string(label.type)
            or pyarrow.types.is_string_view(label.type)):
        return "label is %s" % label.type
    return total.to_numpy().tobytes(), label.to_pylist()


def difference(result):
    """None when the result is the hand-written function's, exactly (the
    totals the same bit for bit); else what differs."""
    got = _totals_and_labels(result)
    if isinstance(got, str):
        return got
    totals, labels = got
    if len(totals) != len(EXPECTED_TOTALS) or len(labels) != len(EXPECTED_LABELS):
        return "%d totals and %d labels for %d records" % (len(totals) // 8, len(labels), RECORDS)
    if labels != EXPECTED_LABELS or not all(isinstance(label, str) for label in labels):
        row = next(i for i, label in enumerate(labels) if label != EXPECTED_LABELS[i] or not isinstance(label, str))
        return "label %r for record %d, not %r" % (labels[row], row, EXPECTED_LABELS[row])
    if totals != EXPECTED_TOTALS:
        got, want = array("d", totals), array("d", EXPECTED_TOTALS)
        row = next(i for i in range(RECORDS) if got[i].hex() != want[i].hex())
        return "total %r for record %d, not %r" % (got[row], row, want[row])
    return None

