"""The Quarn machine object: run, get, repr, failures and statement semantics."""

import math

import pytest

from velmo import Expr, Quarn, Statement
from conftest import REPORT, assert_clean, ident, let, lit, op, panic_message, run_isolated


def type_error(fn, *args):
    with pytest.raises(TypeError) as info:
        fn(*args)
    assert type(info.value) is TypeError
    return str(info.value)


def test_new_machine():
    q = Quarn()
    assert repr(q) == "Machine { vars: {} }"
    assert panic_message(q.get, "x") == 'Value cannot be found: S("x")'
    assert panic_message(q.get, 3) == "Value cannot be found: U(3)"
    assert q.run([]) is None
    assert q.run(()) is None
    assert repr(q) == "Machine { vars: {} }"


@pytest.mark.parametrize(
    "name,value,form",
    [
        ("x", 1, 'S("x"): Number(Int(1))'),
        (7, -3, "U(7): Number(Int(-3))"),
        ("f", 2.5, 'S("f"): Number(Float(2.5))'),
        ("f", 1.0, 'S("f"): Number(Float(1.0))'),
        ("f", 1e16, 'S("f"): Number(Float(1e16))'),
        ("f", 1234567.0, 'S("f"): Number(Float(1234567.0))'),
        ("f", 0.0001, 'S("f"): Number(Float(0.0001))'),
        ("f", 0.00001, 'S("f"): Number(Float(1e-5))'),
        ("f", 1.5e-5, 'S("f"): Number(Float(1.5e-5))'),
        ("f", -2e20, 'S("f"): Number(Float(-2e20))'),
        ("f", -0.0, 'S("f"): Number(Float(-0.0))'),
        ("f", math.nan, 'S("f"): Number(Float(NaN))'),
        ("f", math.inf, 'S("f"): Number(Float(inf))'),
        ("f", -math.inf, 'S("f"): Number(Float(-inf))'),
        ("f", 0.1, 'S("f"): Number(Float(0.1))'),
        ("n", None, 'S("n"): Null'),
        ("b", True, 'S("b"): Boolean(true)'),
        ("b", False, 'S("b"): Boolean(false)'),
        ("s", 'say "hi"\\', r'S("s"): String("say \"hi\"\\")'),
        ("s", "tab\tnl\n\x7f'", r'S("s"): String("tab\tnl\n\u{7f}' + "'\")"),
        ("", [1, None, []], 'S(""): Vector([Number(Int(1)), Null, Vector([])])'),
    ],
)
def test_repr_of_one_variable(name, value, form):
    q = Quarn()
    q.run([let(name, lit(value))])
    assert repr(q) == "Machine { vars: {" + form + "} }"


def test_repr_of_several_variables():
    q = Quarn()
    q.run([let("a", lit(None)), let(2, lit(False)), let("c", lit("x"))])
    text = repr(q)
    assert text.startswith("Machine { vars: {") and text.endswith("} }")
    entries = text[len("Machine { vars: {"):-len("} }")].split(", ")
    assert sorted(entries) == sorted(['S("a"): Null', "U(2): Boolean(false)", 'S("c"): String("x")'])


@pytest.mark.parametrize("value", [1, 2.5, "text", None, True, [1, [2]], []])
def test_get_returns_fresh_objects(value):
    q = Quarn()
    q.run([let("x", lit(value))])
    first, second = q.get("x"), q.get("x")
    assert first == value and type(first) is type(value)
    if isinstance(value, list):
        assert first is not second
        first.append("mutated")
        assert q.get("x") == value


@pytest.mark.parametrize(
    "stmts,message",
    [
        ("abc", "argument 'stmts': Can't extract `str` to `Vec`"),
        (5, "argument 'stmts': 'int' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "argument 'stmts': 'dict' object cannot be converted to 'Sequence'"),
        (None, "argument 'stmts': 'NoneType' object cannot be converted to 'Sequence'"),
        ("expr-second", "argument 'stmts': 'Expr' object cannot be converted to 'Statement'"),
        ("int-second", "argument 'stmts': 'int' object cannot be converted to 'Statement'"),
    ],
)
def test_run_argument_errors_execute_nothing(stmts, message):
    q = Quarn()
    if stmts == "expr-second":
        stmts = [let("x", lit(1)), lit(2)]
    elif stmts == "int-second":
        stmts = [let("x", lit(1)), 2]
    assert type_error(q.run, stmts) == message
    assert repr(q) == "Machine { vars: {} }"


def test_failure_keeps_earlier_bindings_and_skips_later():
    q = Quarn()
    prog = [let("x", lit(1)), let("y", ident("z")), let("x", lit(2)), let("w", lit(3))]
    assert panic_message(q.run, prog) == 'Value cannot be found: S("z")'
    assert q.get("x") == 1
    for name in ("y", "w"):
        assert panic_message(q.get, name) == f'Value cannot be found: S("{name}")'
    # the object is still usable and keeps its bindings
    q.run([let("x", op(ident("x"), "+", lit(10)))])
    assert q.get("x") == 11


def test_failing_let_keeps_old_binding():
    q = Quarn()
    q.run([let("x", lit("old"))])
    assert panic_message(q.run, [let("x", Expr.not_(lit(1)))]) == "The not expression must be used on a boolean value"
    assert q.get("x") == "old"
    q2 = Quarn()
    assert panic_message(q2.run, [let("self", ident("self"))]) == 'Value cannot be found: S("self")'
    assert panic_message(q2.get, "self") == 'Value cannot be found: S("self")'


def test_runs_twice_and_machines_are_separate():
    prog = [let("n", op(ident("n"), "+", lit(1)))]
    a, b = Quarn(), Quarn()
    a.run([let("n", lit(0))])
    b.run([let("n", lit(100))])
    a.run(prog)
    a.run(prog)
    b.run(prog)
    assert (a.get("n"), b.get("n")) == (2, 101)
    a.run([let("only_a", lit(1))])
    assert panic_message(b.get, "only_a") == 'Value cannot be found: S("only_a")'


def test_a_long_list_run_again_runs_what_it_holds_now():
    # A machine keeps the trees of a long program run twice in a row, so
    # that the list is not read anew: the list must still be looked at.
    q = Quarn()
    prog = [let("n", lit(0))] + [let("n", op(ident("n"), "+", lit(1))) for _ in range(40)]
    for _ in range(3):
        q.run(prog)
    assert q.get("n") == 40
    prog[5] = let("n", op(ident("n"), "+", lit(100)))
    q.run(prog)
    assert q.get("n") == 139
    q.run(tuple(prog) + (let("n", lit(-1)),))
    assert q.get("n") == -1
    q.run(prog)
    assert q.get("n") == 139
    prog[7] = 7
    assert type_error(q.run, prog) == "argument 'stmts': 'int' object cannot be converted to 'Statement'"
    assert q.get("n") == 139


def test_get_by_names_made_and_dropped_in_turn():
    # Each name object dies before the next is made, so their memory is used
    # again by names of other texts and numbers, and by long names.
    q = Quarn()
    q.run([let("k%d" % i, lit(i)) for i in range(300)] + [let(2**40 + i, lit(-i)) for i in range(300)])
    q.run([let("a long name that does not fit %d" % i, lit(i)) for i in range(300)])
    for _ in range(2):
        for i in range(300):
            assert q.get("".join(["k", str(i)])) == i
            assert q.get(2**40 + int(str(i))) == -i
            assert q.get("a long name that does not fit " + str(i)) == i
    text = "".join(["k", "0"])
    assert q.get(text) == 0
    assert panic_message(Quarn().get, text) == 'Value cannot be found: S("k0")'
    assert panic_message(q.get, "".join(["k", "300"])) == 'Value cannot be found: S("k300")'


def test_rebinding_replaces_any_kind():
    q = Quarn()
    q.run([let("x", lit(1)), let("x", lit("two"))])
    assert q.get("x") == "two"
    q.run([Statement.fn("x", lambda v: v), let("x", lit(3.5))])
    assert q.get("x") == 3.5
    assert panic_message(q.run, [let("r", Expr.call("x", lit(0)))]) == "called `Option::unwrap()` on a `None` value"


def test_if_chooses_a_branch_without_scope():
    q = Quarn()
    branch = lambda c: Statement.if_(c, [let("then", lit(1)), let("both", lit("t"))],
                                     [let("else", lit(2)), let("both", lit("o"))])
    q.run([branch(Expr.greater_than(lit(2), lit(1))), let("after", op(ident("then"), "+", lit(1)))])
    assert (q.get("then"), q.get("both"), q.get("after")) == (1, "t", 2)
    assert panic_message(q.get, "else") == 'Value cannot be found: S("else")'
    q.run([branch(lit(False))])
    assert (q.get("else"), q.get("both")) == (2, "o")


def test_if_with_empty_lists_still_evaluates_condition():
    seen = []

    def probe(x):
        seen.append(x)
        return True

    q = Quarn()
    q.run([Statement.fn("probe", probe), Statement.if_(Expr.call("probe", lit("c")), [], [])])
    assert seen == ["c"]


@pytest.mark.parametrize("cond", [1, 0, "true", None, [True], 1.0])
def test_if_condition_must_be_boolean(cond):
    q = Quarn()
    prog = [let("before", lit(1)), Statement.if_(lit(cond), [let("t", lit(1))], [let("o", lit(1))]), let("after", lit(1))]
    assert panic_message(q.run, prog) == "Expected deduced condition to be a bool, got other type"
    assert q.get("before") == 1
    for name in ("t", "o", "after"):
        assert panic_message(q.get, name) == f'Value cannot be found: S("{name}")'


def test_error_inside_nested_list_stops_enclosing_lists():
    q = Quarn()
    inner = Statement.if_(lit(True), [let("a", lit(1)), let("b", ident("missing")), let("c", lit(1))], [])
    outer = Statement.if_(lit(True), [inner, let("d", lit(1))], [])
    assert panic_message(q.run, [outer, let("e", lit(1))]) == 'Value cannot be found: S("missing")'
    assert q.get("a") == 1
    assert [n for n in "bcde" if _bound(q, n)] == []


def _bound(q, name):
    try:
        q.get(name)
        return True
    except BaseException as e:
        assert str(e) == f'Value cannot be found: S("{name}")'
        return False


def test_vector_shares_variable_values():
    q = Quarn()
    q.run([let("a", lit([1, 2])), let("v", Expr.vector([ident("a"), ident("a")])), let("a", lit(0))])
    assert q.get("v") == [[1, 2], [1, 2]]
    assert q.get("a") == 0


# ------------------------------------------------ where a failed run stopped

BAD = let("bad", ident("unbound"))


def _if(cond, then, otherwise=()):
    return Statement.if_(lit(cond), list(then), list(otherwise))


@pytest.mark.parametrize("program, site", [
    ([let("a", lit(1)), BAD], "at statement 1"),
    ([_if(True, [let("a", lit(1)), BAD])], "at statement 0, then-branch statement 1"),
    ([let("a", lit(1)), _if(False, [], [_if(True, [], [let("b", lit(2))]), _if(True, [BAD])])],
     "at statement 1, otherwise-branch statement 1, then-branch statement 0"),
    ([_if(1, [])], "at statement 0"),
])
def test_a_failed_run_names_its_statement_in_a_note(program, site, capfd):
    for attempt in range(2):  # the first run, and the run of the compiled program
        with pytest.raises(BaseException) as info:
            Quarn().run(program)
        assert info.value.__notes__ == [site]
        assert len(info.value.args) == 1 and "at statement" not in str(info.value)
        err = capfd.readouterr().err.splitlines()
        assert len(err) == 1 and REPORT.fullmatch(err[0]).group(3) == str(info.value)


def test_a_run_a_function_started_names_its_statement_after_the_outer_one():
    q = Quarn()

    def inner(_):
        q.run([let("c", lit(1)), _if(True, [BAD])])

    q.run([Statement.fn("inner", inner)])
    with pytest.raises(BaseException) as info:
        q.run([let("a", lit(1)), _if(True, [let("b", Expr.call("inner", lit(0)))])])
    assert str(info.value) == 'Value cannot be found: S("unbound")'
    assert info.value.__notes__ == [
        "at statement 1, then-branch statement 0; in a function called there, at statement 1, then-branch statement 0"]
    results = q.run_many([let("x", Expr.call("inner", lit(0)))], [(1,)], inputs=["y"], errors="return")
    assert results[0].__notes__ == ["at statement 0; in a function called there, at statement 1, then-branch statement 0",
                                    "in row 0"]


def test_a_signal_handler_exception_names_the_statement_it_stopped():
    out = assert_clean(run_isolated("""
        import signal
        def handler(signum, frame):
            raise TimeoutError("deadline")
        v = Expr.ident("v")
        q = Quarn()
        q.run([Statement.let("v", Expr.literal(1))] + [Statement.let("v", Expr.vector([v, v]))] * 60)
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            q.run([Statement.let("a", Expr.literal(1)),
                   Statement.if_(Expr.literal(True), [Statement.let("e", Expr.equals(v, v))], [])])
        except TimeoutError as e:
            print(e.__notes__)
    """, timeout=120))
    assert " ".join(out) == "['at statement 1, then-branch statement 0']"


def test_a_batch_a_function_ran_names_its_row_in_the_outer_note():
    q = Quarn()

    def inner(_):
        return q.run_many([let("y", ident("unbound"))], [(1,), (2,)], inputs=["x"])

    q.run([Statement.fn("inner", inner)])
    with pytest.raises(BaseException) as info:
        q.run([let("a", Expr.call("inner", lit(0)))])
    assert info.value.__notes__ == ["at statement 0; in a function called there, at statement 0 in row 0"]


def test_notes_are_the_runs_own_whatever_else_the_exception_carries():
    # One exception instance stopping two runs that are not nested gets a
    # note from each; stopping a run inside another, one note for both, in
    # the place of the inner run's, while notes that other code added stay.
    out = assert_clean(run_isolated("""
        import signal
        stop = TimeoutError("deadline")
        def handler(signum, frame):
            raise stop
        v = Expr.ident("v")
        q = Quarn()
        q.run([Statement.let("v", Expr.literal(1))] + [Statement.let("v", Expr.vector([v, v]))] * 60)
        long_run = [Statement.let("a", Expr.literal(1)), Statement.let("e", Expr.equals(v, v))]
        signal.signal(signal.SIGALRM, handler)
        def stopped(run):
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            try:
                run()
            except TimeoutError as e:
                return e
        stopped(lambda: q.run(long_run)).__notes__.append("user")
        print(stopped(lambda: q.run(long_run)).__notes__)
        def passing(_):
            try:
                q.run(long_run)
            except TimeoutError as e:
                e.__notes__.append("seen by the function")
                raise
        stop.__notes__.clear()
        q.run([Statement.fn("passing", passing)])
        print(stopped(lambda: q.run([Statement.let("b", Expr.call("passing", Expr.literal(0)))])).__notes__)
    """, timeout=120))
    assert " ".join(out) == ("['at statement 1', 'user', 'at statement 1'] "
                             "['at statement 0; in a function called there, at statement 1', 'seen by the function']")
