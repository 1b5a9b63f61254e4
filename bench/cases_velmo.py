"""The workloads on velmo: trees built with Expr and Statement, run on Quarn.
The run workloads take the machine's maker, so that cases_limits can run
them on a machine with limits."""
from velmo import Expr, Quarn, Statement

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
