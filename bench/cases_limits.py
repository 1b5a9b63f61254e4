"""The run workloads on a velmo machine made with both limits set, to values
that these runs never reach: what the limits cost when they hold."""
from velmo import Quarn

import cases_velmo

LIMIT = 10**15  # operations per run and size of a value; no workload comes near


def limited():
    return Quarn(max_operations=LIMIT, max_value_size=LIMIT)


def available():
    """Whether this velmo takes limits: one that does not refuses them with a
    TypeError, and then the column's figures read "—"."""
    try:
        limited()
    except TypeError:
        return False
    return True


def w2():
    return cases_velmo.w2(limited)


def w2b():
    return cases_velmo.w2b(limited)


def w3():
    return cases_velmo.w3(limited)


def w6():
    return cases_velmo.w6(limited)


def w7():
    return cases_velmo.w7(limited)
