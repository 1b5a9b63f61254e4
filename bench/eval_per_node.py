"""Nanoseconds per evaluated node for Quarn.run, the run's copy of the tree included.

Builds a balanced tree of additions over literals and variables, runs it many
times on one machine, and divides the time by the number of nodes evaluated.
"""
import sys
import time

from velmo import Expr, Quarn, Statement


def tree(depth):
    if depth == 0:
        return Expr.literal(1), 1
    left, n = tree(depth - 1)
    right = Expr.ident("x") if depth == 1 else tree(depth - 1)[0]
    return Expr.binary_op(left, "+", right), 2 * n + 1


def main():
    depth = int(sys.argv[1]) if len(sys.argv) > 1 else 12
    expr, nodes = tree(depth)
    program = [Statement.let("x", Expr.literal(2)), Statement.let("y", expr)]
    quarn = Quarn()
    runs = max(1, 2_000_000 // nodes)
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(runs):
            quarn.run(program)
        best = min(best, time.perf_counter() - start)
    print(f"{sys.implementation.name}: {nodes} nodes, {best / (runs * nodes) * 1e9:.1f} ns per node")


if __name__ == "__main__":
    main()
