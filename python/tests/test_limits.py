"""A machine's limits: the arguments that set them, what they count exactly at
their edges, runs nested through callbacks drawing on one budget."""

import pytest

from conftest import ident, let, lit, op, panic_message
from velmo import Expr, Quarn, Statement

OPS = "Operation limit exceeded: max_operations={}"
SIZE = "Value size limit exceeded: max_value_size={}"
LIMITS = ["max_operations", "max_value_size"]


def ten_operations():
    """2 + 4 + 4 operations: each statement and each node of its expression."""
    return [let("a", lit(1)), let("b", op(ident("a"), "+", lit(1))), let("c", Expr.vector([ident("a"), ident("b")]))]


@pytest.mark.parametrize("name", LIMITS)
@pytest.mark.parametrize("value", [1.0, "3", True, False, [1], 2**64 + 0.5])
def test_a_limit_that_is_no_int_is_refused(name, value):
    with pytest.raises(TypeError) as e:
        Quarn(**{name: value})
    assert str(e.value) == f"{name} must be a positive integer or None"


@pytest.mark.parametrize("name", LIMITS)
@pytest.mark.parametrize("value", [0, -1, -(2**70)])
def test_a_limit_below_one_is_refused(name, value):
    with pytest.raises(ValueError) as e:
        Quarn(**{name: value})
    assert str(e.value) == f"{name} must be a positive integer or None"


def test_limits_are_keyword_only_and_known():
    with pytest.raises(TypeError) as e:
        Quarn(10)
    assert str(e.value) == "Quarn.__new__() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as e:
        Quarn(max_steps=10)
    assert str(e.value) == "Quarn.__new__() got an unexpected keyword argument 'max_steps'"
    for q in (Quarn(max_operations=None, max_value_size=None), Quarn(max_operations=2**100, max_value_size=2**100)):
        q.run(ten_operations())
        assert q.get("c") == [1, 2]


@pytest.mark.parametrize("limit, stops", [(10, False), (9, True)])
def test_operations_up_to_the_limit_run_and_one_more_stops(limit, stops):
    q = Quarn(max_operations=limit)
    if stops:
        assert panic_message(q.run, ten_operations()) == OPS.format(limit)
        assert q.get("b") == 2  # bound before the failing statement
        assert panic_message(q.get, "c") == 'Value cannot be found: S("c")'
    else:
        q.run(ten_operations())
    q.run([let("after", lit(1))])  # each run has its own budget
    assert q.get("after") == 1


def test_every_pair_of_items_compared_counts():
    v = list(range(5))
    program = [let("v", lit(v)), let("e", Expr.equals(ident("v"), ident("v")))]  # 2 + 4 + 5 pairs
    Quarn(max_operations=11).run(program)
    assert panic_message(Quarn(max_operations=10).run, program) == OPS.format(10)


def test_runs_started_by_callbacks_draw_on_the_callers_budget():
    q, other, calls = Quarn(max_operations=20), Quarn(max_operations=3), []

    def again(_):
        calls.append(1)
        other.run([let("o", lit(1))])  # another machine: its own budget
        q.run([let("inner", lit(1))])  # this one: 2 of the caller's operations
        return None

    q.run([Statement.fn("again", again)])
    # 3 per call statement and 2 per nested run: four fit in 20 exactly.
    message = panic_message(q.run, [let("x", Expr.call("again", lit(0)))] * 5)
    assert message == OPS.format(20)
    assert len(calls) == 4


@pytest.mark.parametrize("limit, stops", [(11, False), (10, True)])
def test_values_up_to_the_size_run_and_one_more_stops(limit, stops):
    # "abc" + "de" is 5 bytes; a vector of it twice is 1 + 5 + 5.
    program = [let("t", op(lit("abc"), "+", lit("de"))), let("v", Expr.vector([ident("t"), ident("t")]))]
    q = Quarn(max_value_size=limit)
    if stops:
        assert panic_message(q.run, program) == SIZE.format(limit)
        assert q.get("t") == "abcde"
    else:
        q.run(program)
        assert q.get("v") == ["abcde", "abcde"]


@pytest.mark.parametrize("result", ["12345", "ab\u00e9\u00e9", [1, 2, 3, 4], [[1], [2]]])
def test_callback_results_over_the_size_stop_the_run(result):
    q = Quarn(max_value_size=4)
    q.run([Statement.fn("make", lambda _: result)])
    assert panic_message(q.run, [let("r", Expr.call("make", lit(0)))]) == SIZE.format(4)
    assert panic_message(q.get, "r") == 'Value cannot be found: S("r")'


def test_a_text_grown_in_place_stays_within_the_size():
    q = Quarn(max_value_size=4)
    grow = let("a", op(ident("a"), "+", lit("x")))
    q.run([let("a", lit("")), grow, grow, grow, grow])
    assert panic_message(q.run, [grow]) == SIZE.format(4)
    assert q.get("a") == "xxxx"
