"""The run workloads as Python code compiled once: the ast module compiled
with compile beforehand, then executed with exec on every run, as a program
generated once and run many times would be."""
import ast

import cases_ast
from cases_ast import compiled_once
from records import record_case


def w2():
    return cases_ast.w2(compiled_once)


def w2b():
    return cases_ast.w2b(compiled_once)


def w3():
    return cases_ast.w3(compiled_once)


def w4():
    return cases_ast.w4(compiled_once)


def w6():
    return cases_ast.w6(compiled_once)


def w7():
    return cases_ast.w7(compiled_once)


# W8's rules as Python statements, parsed into an ast module once.
W8_SOURCE = """
shipping = weight * 0.5 + 4.0
if tier == "gold":
    rate = 0.9
else:
    rate = 1.0
total = subtotal * rate + shipping
if total > 100.0:
    label = "large"
else:
    label = "small"
total = total * 1.2
"""


def w8():
    """The module compiled once; per record, an exec with a new dict of the
    record's fields as its namespace, from which the results are read."""
    code = compile(ast.parse(W8_SOURCE), "<w8>", "exec")

    def run_pass(records):
        results = []
        for tier, weight, subtotal in records:
            namespace = {"tier": tier, "weight": weight, "subtotal": subtotal}
            exec(code, namespace)
            results.append((namespace["total"], namespace["label"]))
        return results

    return record_case(run_pass)
