"""W9 with numpy: the rules as whole-column operations, each rule's `if` an
`np.where` over the column of its condition. numpy has no form of Arrow's
texts: the tiers become an array of Python str objects (pyarrow's
`to_numpy` under CPython; under PyPy the list of str made into one, which
costs PyPy a ninth of making a fixed-width text array of it), and the labels
an array of fixed-width texts, which under CPython go into the Arrow table
of the results."""
import numpy as np

from tables import PYPY, pyarrow, table_case


def rules(tier, weight, subtotal):
    shipping = weight * 0.5 + 4.0
    rate = np.where(tier == "gold", 0.9, 1.0)
    total = subtotal * rate + shipping
    label = np.where(total > 100.0, "large", "small")
    return total * 1.2, label


def w9():
    def run_pass(table):
        if PYPY:
            return rules(np.array(table["tier"], dtype=object), table["weight"], table["subtotal"])
        tier, weight, subtotal = (table.column(name).to_numpy() for name in ("tier", "weight", "subtotal"))
        total, label = rules(tier, weight, subtotal)
        return pyarrow.table({"total": total, "label": pyarrow.array(label, pyarrow.string())})

    return table_case(run_pass)
