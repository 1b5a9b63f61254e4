"""W8 and W9 as the hand-written Python function (records.rules), called per
record: what a user who knows the rules when writing the program would
write."""
from records import record_case, rules
from tables import output_table, python_values, table_case


def w8():
    return record_case(lambda records: [rules(tier, weight, subtotal) for tier, weight, subtotal in records])


def w9():
    """Over the Python values of the table's columns; the results, a tuple
    per record, go back to columns, and the columns into a table."""

    def run_pass(table):
        results = [rules(tier, weight, subtotal) for tier, weight, subtotal in zip(*python_values(table))]
        return output_table(*zip(*results))

    return table_case(run_pass)
