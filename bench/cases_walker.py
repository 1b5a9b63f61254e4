"""The workloads on the pure-Python tuple walker (walker.py)."""
from records import update_run_get
from walker import Walker, evaluate
from workloads import (BIG_N, DONE, IF_DEPTH, INT_NAME, INT_VALUE, LEAVES, LIST_VALUE, STATEMENTS,
                       TREE_NODES, X_VALUE, Case, repeat_calls, repeat_runs)


def build_tuples():
    level = [("lit", i) for i in range(LEAVES)]
    while len(level) > 1:
        level = [("op", "+", level[i], level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def w1():
    trees = []

    def loop(reps):
        for _ in range(reps):
            trees[:] = [build_tuples()]

    return Case(TREE_NODES, loop, lambda: evaluate(trees[0], {}))


def balanced(leaf):
    level = [leaf(i) for i in range(LEAVES)]
    while len(level) > 1:
        level = [("op", "+", level[i], level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def run_case(program, units, read, setup=()):
    w = Walker()
    w.run(list(setup))
    return repeat_runs(lambda: w.run(program), units, lambda: read(w))


def w2():
    return run_case([("let", "r", balanced(lambda i: ("lit", i)))], TREE_NODES, lambda w: w.get("r"))


def w2b():
    tree = balanced(lambda i: ("id", "x") if i % 2 else ("lit", i))
    return run_case([("let", "r", tree)], TREE_NODES, lambda w: w.get("r"), [("let", "x", ("lit", X_VALUE))])


def w3():
    program = [("let", "x0", ("lit", 0))]
    for i in range(1, STATEMENTS):
        program.append(("let", "x%d" % i, ("op", "+", ("id", "x%d" % (i - 1)), ("lit", 1))))
    return run_case(program, STATEMENTS, lambda w: w.get("x%d" % (STATEMENTS - 1)))


def plus_one(a):
    return a + 1


def w4():
    program = [("let", "y%d" % i, ("call", "f", ("lit", i))) for i in range(STATEMENTS)]
    read = lambda w: (w.get("y0"), w.get("y%d" % (STATEMENTS - 1)))
    return run_case(program, STATEMENTS, read, [("fn", "f", plus_one)])


def bound_walker():
    w = Walker()
    w.run([("let", "n", ("lit", INT_VALUE)), ("let", INT_NAME, ("lit", INT_VALUE)),
           ("let", "lst", ("lit", tuple(LIST_VALUE)))])
    return w


def w5i():
    return repeat_calls('w.get("n")', {"w": bound_walker()})


def w5i_int():
    return repeat_calls("w.get(%d)" % INT_NAME, {"w": bound_walker()})


def w5l():
    return repeat_calls('w.get("lst")', {"w": bound_walker()})


def w6():
    body = [("let", "done", ("lit", DONE))]
    for i in reversed(range(IF_DEPTH)):
        body = [("if", ("lt", ("id", "n"), ("lit", i)), [], body)]
    return run_case(body, IF_DEPTH, lambda w: w.get("done"), [("let", "n", ("lit", BIG_N))])


def w7():
    step = ("op", "+", ("id", "a"), ("lit", "x"))
    program = [("let", "a", ("lit", ""))] + [("let", "a", step) for _ in range(STATEMENTS)]
    return run_case(program, STATEMENTS, lambda w: w.get("a"))


# W8's rules as the walker's tuples.
W8_RULES = [
    ("let", "shipping", ("op", "+", ("op", "*", ("id", "weight"), ("lit", 0.5)), ("lit", 4.0))),
    ("if", ("eq", ("id", "tier"), ("lit", "gold")), [("let", "rate", ("lit", 0.9))], [("let", "rate", ("lit", 1.0))]),
    ("let", "total", ("op", "+", ("op", "*", ("id", "subtotal"), ("id", "rate")), ("id", "shipping"))),
    ("if", ("gt", ("id", "total"), ("lit", 100.0)),
     [("let", "label", ("lit", "large"))], [("let", "label", ("lit", "small"))]),
    ("let", "total", ("op", "*", ("id", "total"), ("lit", 1.2))),
]


def w8():
    """One walker; per record the fields bound with update, the rules run,
    the two results read back with get."""
    return update_run_get(Walker(), W8_RULES)
