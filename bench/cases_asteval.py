"""W8 on asteval, an interpreter of a safe subset of Python statements
(pinned in requirements.txt): the rules' Python text, parsed once."""
from asteval import Interpreter

from cases_ast_once import W8_SOURCE
from records import record_case


def w8():
    """One interpreter, without numpy (PyPy has none); per record the fields
    are set in its symbol table, the parsed rules run, the results read back."""
    interpreter = Interpreter(use_numpy=False)
    tree = interpreter.parse(W8_SOURCE)
    symbols = interpreter.symtable

    def run_pass(records):
        results = []
        for tier, weight, subtotal in records:
            symbols["tier"], symbols["weight"], symbols["subtotal"] = tier, weight, subtotal
            interpreter.run(tree)
            results.append((symbols["total"], symbols["label"]))
        return results

    return record_case(run_pass)
