"""The workloads on velmo: trees built with Expr and Statement, run on Quarn.
The run workloads take the machine's maker, so that cases_limits can run
them on a machine with limits. W8 and W9 run one rule set over many
records, W9 over a table."""
from velmo import Expr, Quarn, Statement

from records import INPUTS, OUTPUTS, record_case, update_run_get
from tables import output_table, pyarrow, python_values, table_case
from timing import PYPY
from workloads import (BIG_N, DONE, IF_DEPTH, INT_NAME, INT_VALUE, LIST_VALUE, STATEMENTS,
                       TREE_NODES, X_VALUE, Case, build_tree, repeat_calls, repeat_runs)


def read_r(tree):
    q = Quarn()
    q.run([Statement.let("x", Expr.literal(X_VALUE)), Statement.let("r", tree)])
    return q.get("r")


def w1():
    trees = []

    def loop(reps):
        for _ in range(reps):
            trees[:] = [build_tree(Expr.literal, Expr.binary_op)]

    return Case(TREE_NODES, loop, lambda: read_r(trees[0]))


def run_case(program, units, read, setup=(), make=Quarn):
    q = make()
    q.run(list(setup))
    return repeat_runs(lambda: q.run(program), units, lambda: read(q))


def w2(make=Quarn):
    program = [Statement.let("r", build_tree(Expr.literal, Expr.binary_op))]
    return run_case(program, TREE_NODES, lambda q: q.get("r"), make=make)


def w2b(make=Quarn):
    tree = build_tree(lambda i: Expr.ident("x") if i % 2 else Expr.literal(i), Expr.binary_op)
    setup = [Statement.let("x", Expr.literal(X_VALUE))]
    return run_case([Statement.let("r", tree)], TREE_NODES, lambda q: q.get("r"), setup, make)


def w3(make=Quarn):
    program = [Statement.let("x0", Expr.literal(0))]
    for i in range(1, STATEMENTS):
        step = Expr.binary_op(Expr.ident("x%d" % (i - 1)), "+", Expr.literal(1))
        program.append(Statement.let("x%d" % i, step))
    return run_case(program, STATEMENTS, lambda q: q.get("x%d" % (STATEMENTS - 1)), make=make)


def plus_one(a):
    return a + 1


def w4():
    program = [Statement.let("y%d" % i, Expr.call("f", Expr.literal(i))) for i in range(STATEMENTS)]
    read = lambda q: (q.get("y0"), q.get("y%d" % (STATEMENTS - 1)))
    return run_case(program, STATEMENTS, read, [Statement.fn("f", plus_one)])


def bound_machine():
    q = Quarn()
    q.run([Statement.let("n", Expr.literal(INT_VALUE)), Statement.let(INT_NAME, Expr.literal(INT_VALUE)),
           Statement.let("lst", Expr.literal(LIST_VALUE))])
    return q


def w5i():
    return repeat_calls('q.get("n")', {"q": bound_machine()})


def w5i_int():
    return repeat_calls("q.get(%d)" % INT_NAME, {"q": bound_machine()})


def w5l():
    return repeat_calls('q.get("lst")', {"q": bound_machine()})


def w6(make=Quarn):
    body = [Statement.let("done", Expr.literal(DONE))]
    for i in reversed(range(IF_DEPTH)):
        condition = Expr.less_than(Expr.ident("n"), Expr.literal(i))
        body = [Statement.if_(condition, [], body)]
    setup = [Statement.let("n", Expr.literal(BIG_N))]
    return run_case(body, IF_DEPTH, lambda q: q.get("done"), setup, make)


def w7(make=Quarn):
    step = Expr.binary_op(Expr.ident("a"), "+", Expr.literal("x"))
    program = [Statement.let("a", Expr.literal(""))] + [Statement.let("a", step) for _ in range(STATEMENTS)]
    return run_case(program, STATEMENTS, lambda q: q.get("a"), make=make)


def w8_rules():
    """W8's rules, built once with the builders."""
    ident, literal, let = Expr.ident, Expr.literal, Statement.let
    times = lambda a, b: Expr.binary_op(a, "*", b)
    plus = lambda a, b: Expr.binary_op(a, "+", b)
    return [
        let("shipping", plus(times(ident("weight"), literal(0.5)), literal(4.0))),
        Statement.if_(Expr.equals(ident("tier"), literal("gold")),
                      [let("rate", literal(0.9))], [let("rate", literal(1.0))]),
        let("total", plus(times(ident("subtotal"), ident("rate")), ident("shipping"))),
        Statement.if_(Expr.greater_than(ident("total"), literal(100.0)),
                      [let("label", literal("large"))], [let("label", literal("small"))]),
        let("total", times(ident("total"), literal(1.2))),
    ]


def w8_builders():
    """With the builders alone: per record one run of three lets, each of a
    new literal of a field, followed by the rules; then a get per result."""
    q, rules = Quarn(), w8_rules()
    let, literal = Statement.let, Expr.literal

    def run_pass(records):
        results = []
        for tier, weight, subtotal in records:
            q.run([let("tier", literal(tier)), let("weight", literal(weight)),
                   let("subtotal", literal(subtotal)), *rules])
            results.append((q.get("total"), q.get("label")))
        return results

    return record_case(run_pass)


def w8_update():
    """Per record: update with a dict of the fields, run of the rules, a get
    per result. None where this velmo has no update."""
    if not hasattr(Quarn, "update"):
        return None
    return update_run_get(Quarn(), w8_rules())


def w8_run_many():
    """One run_many per pass, the records as rows of the three inputs. None
    where this velmo has no run_many."""
    if not hasattr(Quarn, "run_many"):
        return None
    q, rules = Quarn(), w8_rules()
    return record_case(lambda records: q.run_many(rules, records, inputs=INPUTS, outputs=OUTPUTS))


def w9_run_many():
    """run_many over the Python values of the table's columns, zipped into
    rows; the result tuples go back to columns, and the columns into a
    table. On PyPy the rows go as a list, which run_many takes a chunk at a
    time; on CPython as an iterator, which leaves no list of tuples. None
    where this velmo has no run_many."""
    if not hasattr(Quarn, "run_many"):
        return None
    q, rules = Quarn(), w8_rules()

    def run_pass(table):
        rows = zip(*python_values(table))
        results = q.run_many(rules, list(rows) if PYPY else rows, inputs=INPUTS, outputs=OUTPUTS)
        return output_table(*zip(*results))

    return table_case(run_pass)


def w9_run_columns():
    """run_columns over the table itself. Under CPython its result, which
    speaks the Arrow C stream interface, becomes a pyarrow table; under
    PyPy its two columns are the result. None where this velmo has no
    run_columns."""
    if not hasattr(Quarn, "run_columns"):
        return None
    q, rules = Quarn(), w8_rules()

    def run_pass(table):
        result = q.run_columns(rules, table, outputs=OUTPUTS)
        if PYPY:
            return result["total"], result["label"]
        return pyarrow.table(result)

    return table_case(run_pass)
