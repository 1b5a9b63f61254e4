"""W8 as the hand-written Python function (records.rules), called per record:
what a user who knows the rules when writing the program would write."""
from records import record_case, rules


def w8():
    return record_case(lambda records: [rules(tier, weight, subtotal) for tier, weight, subtotal in records])
