"""Pickling and copying: trees and machines travel as one flat payload, with
what they share kept shared, and functions go through pickle's own rules."""

import copy
import pickle

import pytest

import velmo
from velmo import Expr, Quarn, Statement
from conftest import I64_MAX, I64_MIN, IS_PYPY, assert_clean, let, lit, op, panic_message, run_isolated

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def double(x):  # found by pickle by name
    return x * 2


def every_kind():
    """A program holding every kind of node and of value."""
    x = Expr.ident("x")
    return [
        Statement.fn("double", double),
        let("x", lit(I64_MIN)),
        let(2**64 - 1, lit([None, True, False, I64_MAX, -0.0, float("inf"), "", "é\U0001F600", [[]], (1, "a")])),
        let("v", Expr.vector([x, lit(2.5), Expr.not_(lit(False))])),
        let("lt", Expr.less_than(x, lit(1))),
        Statement.if_(Expr.greater_than(x, lit(1)), [let("a", lit("then"))],
                      [let("b", Expr.equals(lit(None), x)), let("c", Expr.call("double", lit(21)))]),
        let("s", lit("t")),
        let("s", op(Expr.ident("s"), "+", lit("u"))),
        let("n", op(op(lit(7), "-", lit(2)), "*", op(lit(9.0), "/", lit(3)))),
    ]


def payload(tree):
    """What a pickle of the object carries: its payload and functions."""
    loader, arguments = tree.__reduce__()
    return arguments


NAMES = ["x", 2**64 - 1, "v", "lt", "b", "c", "s", "n", "r"]


def ran(program):
    """The variables a run of the program binds (a repr's order varies)."""
    q = Quarn()
    q.run(program)
    shown = repr(q)
    return [q.get(n) if (f'S("{n}")' if type(n) is str else f"U({n})") in shown else "unbound" for n in NAMES]


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_every_kind_round_trips(protocol):
    program = every_kind()
    written = [payload(s) for s in program]
    back = [pickle.loads(pickle.dumps(s, protocol)) for s in program]
    assert [type(s) for s in back] == [Statement] * len(program)
    assert ran(back) == ran(program)
    # runs cache compiled forms and bindings in the trees; none of it is written
    assert [payload(s) for s in back] == [payload(s) for s in program] == written
    whole = pickle.loads(pickle.dumps(Statement.if_(lit(True), program, []), protocol))
    assert ran([whole]) == ran(program)
    expr = pickle.loads(pickle.dumps(Expr.vector([lit(1), Expr.ident("x")]), protocol))
    assert type(expr) is Expr and ran([let("x", lit(2)), let("r", expr)])[-1] == [1, 2]


def test_reduce_names_the_modules_loader():
    loader, (data, functions) = Statement.fn("double", double).__reduce__()
    assert loader is velmo._load_tree and velmo._load_tree.__module__ == "velmo"
    assert type(data) is bytes and data[0] == 1 and functions == (double,)
    assert Quarn().__reduce__()[0] is velmo._load_machine
    assert pickle.loads(pickle.dumps(velmo._load_tree)) is velmo._load_tree


# 61 distinct nodes standing for 2**60: written once each, read back shared.
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_shared_subtrees_stay_shared(protocol):
    a = lit("leaf")
    for _ in range(60):
        a = op(a, "+", a)
    data = pickle.dumps(a, protocol)
    assert len(data) < 1000
    back = pickle.loads(data)
    assert payload(back) == payload(a)


def test_machine_with_a_doubled_vector_stays_small():
    q = Quarn()
    q.run([let("v", lit([1]))] + [let("v", Expr.vector([Expr.ident("v"), Expr.ident("v")]))] * 60)
    data = pickle.dumps(q)
    assert len(data) < 2000
    back = pickle.loads(data)
    assert pickle.dumps(back) == data


def test_deep_trees_round_trip():
    proc = run_isolated(
        """
        import pickle
        e = Expr.literal(0)
        s = Statement.let("x", Expr.literal(1))
        for i in range(200_000):
            e = Expr.binary_op(e, "+", Expr.literal(1))
            s = Statement.if_(Expr.literal(True), [s], [])
        for tree in (e, s):
            data = pickle.dumps(tree, pickle.HIGHEST_PROTOCOL)
            back = pickle.loads(data)
            assert pickle.dumps(back, pickle.HIGHEST_PROTOCOL) == data
        q = Quarn()
        q.run([pickle.loads(pickle.dumps(s)), Statement.let("e", pickle.loads(pickle.dumps(e)))])
        print(q.get("x"), q.get("e"))
        """
    )
    assert assert_clean(proc) == ["1", "200000"]


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_functions_pickle_by_reference(protocol):
    program = pickle.loads(pickle.dumps([Statement.fn("d", double), let("r", Expr.call("d", lit(21)))], protocol))
    q = Quarn()
    q.run(program)
    q.run([Statement.fn("again", double)])
    assert q.get("r") == 42
    back = pickle.loads(pickle.dumps(q, protocol))
    back.run([let("r", Expr.call("again", lit(5)))])
    assert (back.get("r"), q.get("r")) == (10, 42)
    assert payload(program[0])[1] == (double,)


@pytest.mark.parametrize("holder", ["statement", "machine"])
def test_a_lambda_fails_with_pickles_own_error(holder):
    fn = Statement.fn("f", lambda x: x)
    if holder == "machine":
        fn = Quarn()
        fn.run([Statement.fn("f", lambda x: x)])
    with pytest.raises((pickle.PicklingError, AttributeError), match="lambda"):
        pickle.dumps(fn)


def test_trees_copy_to_themselves():
    for tree in (lit(1), let("x", lit([1]))):
        assert copy.copy(tree) is tree and copy.deepcopy(tree) is tree
        assert copy.deepcopy([tree, tree])[1] is tree


@pytest.mark.parametrize("make", [copy.copy, copy.deepcopy, lambda q: pickle.loads(pickle.dumps(q))],
                         ids=["copy", "deepcopy", "pickle"])
def test_machine_copies_are_independent_and_keep_limits(make):
    q = Quarn(max_operations=20, max_value_size=4)
    q.run([let("a", lit(1)), let("t", lit("abc")), Statement.fn("d", double)])
    other = make(q)
    assert type(other) is Quarn and other is not q
    other.run([let("a", lit(2)), let("b", lit(3)), let("t", op(Expr.ident("t"), "+", lit("d")))])
    assert (q.get("a"), q.get("t"), other.get("a"), other.get("t")) == (1, "abc", 2, "abcd")
    assert panic_message(q.get, "b") == 'Value cannot be found: S("b")'
    assert panic_message(other.run, [let("t", lit("abcde"))]) == "Value size limit exceeded: max_value_size=4"
    assert panic_message(other.run, [let("a", lit(1))] * 11) == "Operation limit exceeded: max_operations=20"


def test_malformed_payloads_raise_value_error():
    # each case apart from the test process: a crash must fail only this test
    proc = run_isolated(
        """
        import functools, pickle, velmo, zlib
        def f(x):
            return x
        def sealed(body):  # a payload ends with the CRC-32 of its bytes
            return body + zlib.crc32(body).to_bytes(4, "little")
        tree = Statement.if_(Expr.literal(True), [Statement.fn("f", f), Statement.let("x", Expr.literal([1, "a"]))], [])
        _, (good, fns) = tree.__reduce__()
        assert sealed(good[:-4]) == good
        machine = Quarn().__reduce__()[1][0]
        cases = [
            (good[:-1], fns), (good[:3], fns), (b"", ()), (b"\\x02" + good[1:], fns), (good + b"\\x00", fns),
            (sealed(good[:-4] + b"\\x00"), fns), (sealed(good[:-8]), fns),
            (sealed(b"\\x01\\x00\\x06\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\x7f"), ()),
            (sealed(b"\\x01\\x00\\x08\\x05"), ()), (sealed(b"\\x01\\x00\\x3f"), ()), (good, ()), (good, (len,)),
            (good, (functools.partial(f),)), (good, (int,)), (machine, ()), (good, (f, f)),
        ]
        counted = getattr(sys, "getrefcount", lambda o: 0)
        held = counted(f)
        for data, functions in cases:
            try:
                velmo._load_tree(data, functions)
                print("loaded")
            except ValueError as e:
                print(e)
        outcomes = set()
        for i in range(len(good)):
            for bit in range(8):
                data = bytearray(good)
                data[i] ^= 1 << bit
                try:
                    velmo._load_tree(bytes(data), fns)
                    outcomes.add("loaded")
                except ValueError:
                    outcomes.add("ValueError")
        print(sorted(outcomes), counted(f) - held)  # nothing loaded holds f any more
        """
    )
    assert_clean(proc)
    builtin = "builtin_function" if IS_PYPY else "builtin_function_or_method"
    changed = "invalid payload: its checksum does not match its bytes: they were changed or cut short"
    assert proc.stdout.splitlines() == [
        changed,
        "invalid payload: it ends before its checksum",
        "invalid payload: it is empty",
        "invalid payload: its version is 2; this velmo reads version 1",
        changed,
        "invalid payload: it must end with one statement and ends with 2 objects",
        "invalid payload: a length of 1 goes past its end (in the record at byte 16)",
        "invalid payload: the record takes 9223372036854775807 objects where 0 precede it (in the record at byte 2)",
        "invalid payload: the record refers to object 5 of 0 (in the record at byte 2)",
        "invalid payload: the record's tag 63 is unknown (in the record at byte 2)",
        "invalid payload: function 0 is not among the 0 given (in the record at byte 4)",
        f"invalid payload: function 0 is a '{builtin}' object, not a Python function",
        "invalid payload: function 0 is a 'partial' object, not a Python function",
        "invalid payload: function 0 is a 'type' object, not a Python function",
        "invalid payload: it holds a machine, not a tree",
        "loaded",
        "['ValueError'] 0",
    ]


@pytest.mark.parametrize("loader", [velmo._load_tree, velmo._load_machine])
def test_loaders_check_their_arguments(loader):
    name = loader.__name__
    with pytest.raises(TypeError, match=f"^argument 'payload': 'bytearray' object cannot be converted to 'PyBytes'$"):
        loader(bytearray(b"\x01\x00"), ())
    with pytest.raises(TypeError, match="^argument 'functions': 'list' object cannot be converted to 'PyTuple'$"):
        loader(b"\x01\x00", [])
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 1 required positional argument: 'functions'$"):
        loader(b"")
