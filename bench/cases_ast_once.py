"""The run workloads as Python code compiled once: the ast module compiled
with compile beforehand, then executed with exec on every run, as a program
generated once and run many times would be."""
import cases_ast
from cases_ast import compiled_once


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
