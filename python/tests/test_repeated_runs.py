"""A program run again runs as one unit (docs/runtime.md): every run must do
what the first, statement by statement, does: the same failures and notes,
the same stops under a limit, the names a bound function rebinds seen by the
statements after its call, and Ctrl-C."""

import pytest

from conftest import ident, interrupt_child, let, lit, op
from velmo import Expr, Quarn, Statement


def _if(cond, then, otherwise=()):
    return Statement.if_(cond, list(then), list(otherwise))


def rules():
    return [
        let("shipping", op(op(ident("weight"), "*", lit(0.5)), "+", lit(4.0))),
        _if(Expr.equals(ident("tier"), lit("gold")), [let("rate", lit(0.9))], [let("rate", lit(1.0))]),
        let("total", op(op(ident("subtotal"), "*", ident("rate")), "+", ident("shipping"))),
        _if(Expr.greater_than(ident("total"), lit(100.0)), [let("label", lit("large"))], [let("label", lit("small"))]),
        let("total", op(ident("total"), "*", lit(1.2))),
    ]


def outcome(q, program):
    """The run's failure, with its notes, and every binding after it."""
    try:
        q.run(program)
        failure = None
    except BaseException as e:
        failure = (str(e), getattr(e, "__notes__", None))
    return failure, sorted((name, repr(q.get(name))) for name in q.names() if isinstance(name, str))


@pytest.mark.parametrize("record", [
    {"tier": "gold", "weight": 12.5, "subtotal": 99.0},
    {"tier": "silver", "weight": 7, "subtotal": 180},       # integers where floats were
    {"tier": 1, "weight": "heavy", "subtotal": 1.0},        # a text where a number was
    {"tier": "gold", "weight": 1.0},                        # subtotal unbound
])
def test_every_run_ends_as_the_first(record):
    program = rules()
    q = Quarn()
    q.update(record)
    first = outcome(q, program)
    for _ in range(3):
        q.update(record)
        assert outcome(q, program) == first


def test_a_failure_deep_in_a_unit_has_the_notes_of_the_first_run():
    program = [let("a", lit(7)), let("z", lit(0)),
               _if(Expr.less_than(ident("a"), lit(10)), [let("b", lit(1)),
                   _if(lit(True), [let("c", op(op(ident("a"), "*", lit(2)), "/", ident("z")))])])]
    q = Quarn()
    for _ in range(3):
        with pytest.raises(BaseException) as info:
            q.run(program)
        assert str(info.value) == "attempt to divide by zero"
        assert info.value.__notes__ == ["at statement 2, then-branch statement 1, then-branch statement 0"]


# The record's binding takes 6 operations of each budget, the rules 26.
@pytest.mark.parametrize("limit", range(7, 34))
def test_a_limit_stops_every_run_where_it_stops_the_first(limit):
    program = rules()
    q = Quarn()
    q.update({"tier": "gold", "weight": 3.0, "subtotal": 50.0})
    q.run(program)
    q.run(program)  # compiled now: the runs below are the unit's
    record = {"tier": "gold", "weight": 30.0, "subtotal": 150.0}
    limited, fresh = Quarn(max_operations=limit), Quarn(max_operations=limit)
    limited.update(record)
    fresh.update(record)
    assert outcome(limited, program) == outcome(fresh, rules())


def test_a_name_a_function_rebinds_is_read_again_after_the_call():
    q = Quarn()
    q.run([Statement.fn("poke", lambda _: q.update({"x": 100.0}))])
    program = [let("x", op(lit(1.0), "+", lit(2.0))), let("ignored", Expr.call("poke", lit(0))),
               let("y", op(ident("x"), "+", lit(1.0)))]
    for _ in range(3):
        q.run(program)
        assert q.get("y") == 101.0


def test_ctrl_c_stops_a_unit():
    out = interrupt_child("""
        from velmo import Expr, Quarn, Statement
        e = Expr.literal(1)
        for _ in range(60):
            e = Expr.binary_op(e, "+", e)  # 2**61 operations, in blocks
        program = [Statement.let("a", Expr.literal(1)),
                   Statement.if_(Expr.ident("go"), [Statement.let("x", e)], [])]
        q = Quarn()
        q.run([Statement.let("go", Expr.literal(False))])
        q.run(program)
        q.run(program)  # the unit
        q.run([Statement.let("go", Expr.literal(True))])
        print("ready", flush=True)
        try:
            q.run(program)
        except KeyboardInterrupt as e:
            print(e.__notes__)
    """)
    assert " ".join(out) == "['at statement 1, then-branch statement 0']"
