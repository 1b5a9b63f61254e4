"""Rules over records: Quarn.update binds a record's fields, Quarn.run_many
runs one program over many rows."""

import pytest

from velmo import Expr, Quarn, Statement
from conftest import REPORT, VALUE_ENUM_HEAD, ident, interrupt_child, let, lit, op, panic_message

DOUBLE = [let("y", op(ident("x"), "*", lit(2)))]


def notes(e):
    return getattr(e, "__notes__", None)


# ------------------------------------------------------------------ update

@pytest.mark.parametrize("bindings", [
    {"a": 1, "b": "x", 7: None},
    [("a", 1), ("b", "x"), (7, None)],
    (pair for pair in [("a", 1), ["b", "x"], (7, None)]),
    zip(["a", "b", 7], [1, "x", None]),
], ids=["dict", "pairs", "generator", "zip"])
def test_update_binds_every_pair(bindings):
    q = Quarn()
    assert q.update(bindings) is None
    assert (q.get("a"), q.get("b"), q.get(7)) == (1, "x", None)


def test_update_takes_a_mapping_by_its_keys_and_later_duplicates_win():
    class Record:
        def keys(self):
            return ["a", "b"]

        def __getitem__(self, key):
            return key * 2

    q = Quarn()
    q.update(Record())
    q.update([("c", 1), ("c", 2)])
    assert (q.get("a"), q.get("b"), q.get("c")) == ("aa", "bb", 2)


@pytest.mark.parametrize("bindings, error, text", [
    ({"a": 1, "b": object()}, TypeError, f"argument 'bindings': {VALUE_ENUM_HEAD}"),
    ([("a", 1), (1.5, 2)], TypeError, "argument 'bindings': failed to extract enum PyIdentifier ('U | S')"),
    (5, TypeError, "argument 'bindings': 'int' object is not iterable"),
    ([("a", 1), 5], TypeError, "argument 'bindings': element 1 is not a (name, value) pair"),
    ([("a", 1), "ab"], TypeError, "argument 'bindings': element 1 is not a (name, value) pair"),
    ([("a", 1), ("b", 2, 3)], ValueError, "argument 'bindings': element 1 has 3 items; a (name, value) pair has 2"),
])
def test_update_binds_nothing_unless_everything_converts(bindings, error, text):
    q = Quarn()
    with pytest.raises(error) as info:
        q.update(bindings)
    assert type(info.value) is error and str(info.value).startswith(text)
    assert repr(q) == "Machine { vars: {} }"


@pytest.mark.parametrize("limits, message", [
    ({"max_operations": 3}, "Operation limit exceeded: max_operations=3"),
    ({"max_value_size": 3}, "Value size limit exceeded: max_value_size=3"),
])
def test_update_binds_under_the_limits_of_lets(limits, message):
    q = Quarn(**limits)
    assert panic_message(q.update, [("a", "ab"), ("b", "abcd")]) == message
    assert q.get("a") == "ab" and "S(\"b\")" not in repr(q)


# ---------------------------------------------------------------- run_many

@pytest.mark.parametrize("rows, inputs", [
    ([(1,), [2], range(3, 4)], ["x"]),
    ([{"x": 1}, [("x", 2)], {"x": 3}], None),
    ((row for row in [(1,), (2,), (3,)]), ("x",)),
    (iter([(1,), (2,), (3,)]), ("x",)),
], ids=["sequences", "mappings", "generator", "iterator"])
def test_each_row_is_bound_run_and_read(rows, inputs):
    q = Quarn()
    assert q.run_many(DOUBLE, rows, inputs=inputs, outputs=["y", "x"]) == [(2, 1), (4, 2), (6, 3)]
    assert q.get("y") == 6


def test_outputs_default_to_none_and_no_rows_give_no_results():
    q = Quarn()
    assert q.run_many(DOUBLE, [(1,), (2,)], inputs=["x"]) == [(), ()]
    assert q.run_many(DOUBLE, [], inputs=["x"], outputs=["y"]) == []


@pytest.mark.parametrize("kwargs, error, text", [
    ({"errors": "ignore"}, ValueError, "errors must be 'raise' or 'return'"),
    ({"errors": None}, ValueError, "errors must be 'raise' or 'return'"),
    ({"inputs": "x"}, TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    ({"outputs": [1.5]}, TypeError, "argument 'outputs': failed to extract enum PyIdentifier"),
])
def test_arguments_are_checked_before_any_row(kwargs, error, text):
    rows = iter([(1,)])
    with pytest.raises(error) as info:
        Quarn().run_many(DOUBLE, rows, **{"inputs": ["x"], **kwargs})
    assert str(info.value).startswith(text)
    assert next(rows) == (1,)


def test_arguments_bind_as_documented():
    q = Quarn()
    with pytest.raises(TypeError, match=r"^Quarn.run_many\(\) takes 2 positional arguments but 3 were given$"):
        q.run_many(DOUBLE, [], ["x"])
    with pytest.raises(TypeError, match=r"^Quarn.run_many\(\) missing 1 required positional argument: 'rows'$"):
        q.run_many(DOUBLE)
    assert q.run_many(rows=[{"x": 1}], stmts=DOUBLE, outputs=["y"]) == [(2,)]


def row_failures():
    # rows, the exception's type, its message's start, and where its run stopped
    return [
        ([(1,), ("a",), (3,)], "PanicException", "Binary operator for unknown type", ["at statement 0"]),
        ([(1,), (2, 3), (3,)], "ValueError", "argument 'rows': expected a row of 1 values, got 2", []),
        ([(1,), (object(),), (3,)], "TypeError", f"argument 'rows': {VALUE_ENUM_HEAD}", []),
        ([(1,), {"x": 2}, (3,)], "TypeError", "argument 'rows': 'dict' object cannot be converted to 'Sequence'", []),
    ]


@pytest.mark.parametrize("rows, kind, message, site", row_failures())
def test_a_failed_row_ends_the_call_with_its_note(rows, kind, message, site, capfd):
    q = Quarn()
    with pytest.raises(BaseException) as info:
        q.run_many(DOUBLE, rows, inputs=["x"], outputs=["y"])
    assert type(info.value).__name__ == kind and str(info.value).startswith(message)
    assert notes(info.value) == site + ["in row 1"]
    assert q.get("y") == 2  # the first row's bindings stay
    reports = [line for line in capfd.readouterr().err.splitlines() if REPORT.match(line)]
    assert len(reports) == (kind == "PanicException")


@pytest.mark.parametrize("rows, kind, message, site", row_failures())
def test_with_errors_return_a_failed_row_gives_its_exception(rows, kind, message, site, capfd):
    results = Quarn().run_many(DOUBLE, rows, inputs=["x"], outputs=["y"], errors="return")
    assert results[0] == (2,) and results[2] == (6,)
    assert type(results[1]).__name__ == kind and str(results[1]).startswith(message)
    assert notes(results[1]) == site + ["in row 1"]
    assert capfd.readouterr().err == ""


def test_outputs_are_read_as_get_reads_them():
    q = Quarn()
    results = q.run_many(DOUBLE, [(1,)], inputs=["x"], outputs=["nope"], errors="return")
    assert str(results[0]) == 'Value cannot be found: S("nope")' and notes(results[0]) == ["in row 0"]
    q.run([Statement.fn("f", _identity)])
    results = q.run_many(DOUBLE, [(1,)], inputs=["x"], outputs=["f"], errors="return")
    assert type(results[0]) is TypeError and str(results[0]) == "Cannot convert a Rust trait to Python"


def _identity(x):
    return x


@pytest.mark.parametrize("errors", ["raise", "return"])
def test_an_exception_from_the_rows_ends_the_call(errors):
    def rows():
        yield (1,)
        yield (2,)
        raise LookupError("no more")

    q = Quarn()
    with pytest.raises(LookupError) as info:
        q.run_many(DOUBLE, rows(), inputs=["x"], outputs=["y"], errors=errors)
    assert notes(info.value) == ["in row 2"]
    assert q.get("y") == 4


@pytest.mark.parametrize("limit, fits", [(14, True), (13, False)])
def test_each_row_has_one_operation_budget_the_binding_included(limit, fits):
    q = Quarn(max_operations=limit)
    program = DOUBLE * 3  # 3 statements of 4 operations, and 2 for binding x
    results = q.run_many(program, [(i,) for i in range(100)], inputs=["x"], outputs=["y"], errors="return")
    if fits:
        assert results == [(2 * i,) for i in range(100)]
    else:
        assert all(str(r) == f"Operation limit exceeded: max_operations={limit}" for r in results)


def test_a_function_may_use_the_machine_that_runs_the_rows():
    q = Quarn()

    def inner(x):
        q.update({"seen": x})
        q.run([let("z", lit(x))])
        return q.run_many(DOUBLE, [(x,), (x + 1,)], inputs=["x"], outputs=["y"])[1][0] + q.get("seen")

    q.run([Statement.fn("inner", inner)])
    program = [let("y", Expr.call("inner", ident("x")))]
    assert q.run_many(program, [(1,), (10,)], inputs=["x"], outputs=["y", "z"]) == [(5, 1), (32, 10)]


def test_texts_that_repeat_keep_their_values():
    rows = [("gold",), ("silver",), ("gold",), ("b" * 100,)] * 3
    program = [let("y", Expr.equals(ident("x"), lit("gold"))), let("z", ident("x"))]
    results = Quarn().run_many(program, rows, inputs=["x"], outputs=["y", "z"])
    assert results == [(x == "gold", x) for (x,) in rows]


@pytest.mark.parametrize("errors", ["raise", "return"])
def test_ctrl_c_stops_a_long_run_over_rows_that_run_no_python_code(errors):
    out = interrupt_child(f"""
        import itertools
        from velmo import Expr, Quarn, Statement
        double = [Statement.let("y", Expr.binary_op(Expr.ident("x"), "*", Expr.literal(2)))]
        q = Quarn()
        print("ready", flush=True)
        try:
            q.run_many(double, itertools.repeat((1,), 10**12), inputs=["x"], errors="{errors}")
        except KeyboardInterrupt as e:
            print(e.__notes__[0].startswith("in row "), q.get("y"), flush=True)
    """)
    assert out == ["True", "2"]


# ------------------------------------------------------ what a machine holds

def test_names_in_and_len_read_the_table():
    q = Quarn()
    assert (q.names(), "x" in q, len(q), bool(q)) == ([], False, 0, True)
    q.run([let("x", lit(1)), let(3, lit("three")), Statement.fn("f", _identity), let("x", lit(2))])
    assert sorted(q.names(), key=str) == [3, "f", "x"] and len(q) == 3
    assert ("x" in q, 3 in q, "3" in q, True in q, "f" in q) == (True, True, False, False, True)
    with pytest.raises(TypeError, match=r"^argument 'ident': failed to extract enum PyIdentifier"):
        1.5 in q
    with pytest.raises(TypeError, match=r"^Quarn.names\(\) takes 0 positional arguments but 1 was given$"):
        q.names(1)


def test_a_function_sees_the_names_bound_so_far():
    q = Quarn()
    seen = []
    q.run([Statement.fn("look", lambda _: seen.append((sorted(q.names(), key=str), "b" in q, len(q))))])
    q.run([let("a", lit(1)), let("r", Expr.call("look", lit(0))), let("b", lit(2)), let("r", Expr.call("look", lit(0)))])
    assert seen == [(["a", "look"], False, 2), (["a", "b", "look", "r"], True, 4)]


def test_rows_of_every_kind_and_length_keep_their_order_across_many_rows():
    # Past a few hundred rows of one shape, rows may travel in chunks; a row
    # of another shape or length, or one that fails, must keep its place.
    rows = []
    for i in range(1500):
        rows.append((float(i), i, "t%d" % (i % 7), [i] if i % 11 == 0 else None, True))
    rows[700] = (1.0, 2)                      # too short
    rows[900] = [9.5, 2**70, "x", None, False]  # a list, an int too large for 64 bits
    rows[1100] = (1.0, 1, "\ud800", None, True)  # a text that cannot convert
    program = [let("s", op(ident("a"), "+", ident("b"))), let("n", Expr.not_(ident("e")))]
    q = Quarn()
    results = q.run_many(program, rows, inputs=["a", "b", "c", "d", "e"], outputs=["s", "c", "d", "n"],
                         errors="return")
    for i, (row, result) in enumerate(zip(rows, results)):
        if i in (700, 1100):
            assert isinstance(result, (TypeError, ValueError)) and notes(result) == [f"in row {i}"]
            continue
        assert result == (row[0] + row[1], row[2], row[3], not row[4]), i
    assert type(results[900][0]) is float and type(results[1][0]) is float


class Endless:
    """A sequence without a length whose items never end."""

    def __getitem__(self, i):
        return self


class Belied(list):
    """A list whose iterator gives more items than its length says."""

    def __iter__(self):
        return iter([1, "a", None])


@pytest.mark.parametrize("call, text", [
    (lambda q: q.update([Endless()]), "argument 'bindings': element 0 has more than 2 items; a (name, value) pair has 2"),
    (lambda q: q.update([Belied([1, 2])]), "argument 'bindings': element 0 has more than 2 items; a (name, value) pair has 2"),
    (lambda q: q.run_many([], [Endless()], inputs=["x"]), "argument 'rows': expected a row of 1 values, got more"),
    (lambda q: q.run_many([], [Belied([1, 2])], inputs=["x", "y"]), "argument 'rows': expected a row of 2 values, got more"),
])
def test_a_pair_or_a_row_without_end_is_refused_after_a_few_items(call, text):
    with pytest.raises(ValueError) as info:
        call(Quarn())
    assert str(info.value) == text


# ------------------------------------------------------- stops and hosts

def _stop(_):
    raise KeyboardInterrupt("stop")


@pytest.mark.parametrize("depth", [0, 1])
def test_a_stop_in_a_function_ends_a_batch_that_goes_on_past_failures(depth):
    inner = Quarn()
    inner.run([Statement.fn("stop", _stop)])

    def deeper(x):
        inner.run([let("z", Expr.call("stop", lit(x)))])

    q = Quarn()
    q.run([Statement.fn("f", deeper if depth else _stop)])
    with pytest.raises(KeyboardInterrupt) as info:
        q.run_many([let("y", Expr.call("f", ident("x")))], [(1,), (2,)], inputs=["x"], errors="return")
    assert str(info.value) == "stop"
    site = "at statement 0" + "; in a function called there, at statement 0" * depth
    assert notes(info.value) == [site, "in row 0"]


def test_a_stop_that_a_function_handled_leaves_later_failures_returned():
    inner = Quarn()
    inner.run([Statement.fn("stop", _stop)])

    def handled(x):
        try:
            inner.run([let("z", Expr.call("stop", lit(x)))])
        except BaseException:
            pass
        return x

    q = Quarn()
    q.run([Statement.fn("handled", handled)])
    program = [let("y", Expr.call("handled", ident("x"))), let("w", ident("unbound"))]
    results = q.run_many(program, [(1,), (2,)], inputs=["x"], errors="return")
    assert [str(r) for r in results] == ['Value cannot be found: S("unbound")'] * 2


def test_every_host_runs_the_rows_that_are_there_when_their_turn_comes():
    rows = [(i,) for i in range(10)]

    class Clearing:
        def __index__(self):
            rows.clear()
            return 5

    def clear(x):
        rows.clear()
        return x

    q = Quarn()
    q.run([Statement.fn("clear", clear)])
    assert q.run_many([let("y", Expr.call("clear", ident("x")))], rows, inputs=["x"], outputs=["y"]) == [(0,)]
    rows[:] = [(1,), (Clearing(),), (3,)]
    assert q.run_many(DOUBLE, rows, inputs=["x"], outputs=["y"]) == [(2,), (10,)]
