#!/usr/bin/env python3
"""Writes the seed corpus of the payload fuzz target: the payloads of small
trees and machines, made by velmo's own pickling, each reaching a part of
the format (every record, sharing, both kinds of names, functions, limits).
The fuzz target names three functions, so no seed names more, and appends
the checksum itself, so the seeds go without theirs.

    python3 quarn/fuzz/make_payload_corpus.py   # with velmo installed; rewrites quarn/fuzz/payload_corpus/
"""

import pathlib

from velmo import Expr, Quarn, Statement

OUT = pathlib.Path(__file__).resolve().parent / "payload_corpus"


def f(x):
    return x


def g(x):
    return x


def seeds():
    lit, ident, op = Expr.literal, Expr.ident, Expr.binary_op
    x = ident("x")
    yield "values", lit([None, True, False, -(2**63), 2**63 - 1, -0.0, float("nan"), "", "é\U0001F600", [[]]])
    yield "operators", Statement.let("r", op(op(lit(7), "-", lit(2)), "*", op(lit(9.0), "/", x)))
    yield "compare", Expr.vector([Expr.equals(x, lit(1)), Expr.greater_than(x, lit(1)),
                                  Expr.less_than(x, lit(1)), Expr.not_(lit(True))])
    yield "names", Expr.vector([ident(0), ident(2**64 - 1), ident("x"), x, ident("x"), Expr.call(7, x)])
    yield "program", Statement.if_(Expr.greater_than(x, lit(0)),
                                   [Statement.fn("f", f), Statement.let("y", Expr.call("f", x))],
                                   [Statement.fn(3, g), Statement.let("s", op(ident("s"), "+", lit("t")))])
    shared = lit("leaf")
    for _ in range(8):
        shared = op(shared, "+", shared)
    yield "shared_tree", shared
    deep = lit(0)
    for i in range(100):
        deep = Expr.not_(deep) if i % 2 else op(deep, "+", lit(i))
    yield "deep", deep
    q = Quarn(max_operations=1000, max_value_size=2**64 - 1)
    q.run([Statement.let("v", lit([1, "a"]))] + [Statement.let("v", Expr.vector([ident("v"), ident("v")]))] * 4
          + [Statement.let(5, ident("v")), Statement.fn("f", f), Statement.fn("g", g)])
    yield "machine", q
    yield "empty_machine", Quarn()


def main():
    OUT.mkdir(exist_ok=True)
    for old in OUT.iterdir():
        old.unlink()
    for name, holder in seeds():
        (OUT / name).write_bytes(holder.__reduce__()[1][0][:-4])


if __name__ == "__main__":
    main()
