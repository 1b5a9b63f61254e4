"""Properties over random programs, with hypothesis.

The default profile keeps the example counts small so that the suite stays
quick; `pytest --hypothesis-profile=thorough` runs many more examples.
"""

from hypothesis import given, strategies as st

from velmo import Expr, Quarn, Statement
from random_programs import (
    NAMES,
    Generator,
    assert_same_bindings,
    build_expr,
    build_program,
    build_statement,
    check_program,
    gen_case,
    gen_literal,
    new_model,
    read_machine,
    run_machine,
    run_model,
    same,
)

randoms = st.randoms(use_true_random=False)


@given(randoms)
def test_programs_agree_with_model(rng):
    check_program(*gen_case(rng))


def _probe(prelude, statements):
    """What running statements after prelude on a new machine leaves: the
    outcome and every name's reading."""
    q = Quarn()
    q.run(prelude)
    outcome = run_machine(q, statements)
    return outcome, [read_machine(q, name) for name in NAMES + ["__probe"]]


def _same_probe(a, b):
    (outcome_a, reads_a), (outcome_b, reads_b) = a, b
    return outcome_a == outcome_b and all(
        x[0] == y[0] and same(x[1], y[1]) for x, y in zip(reads_a, reads_b)
    )


def _container_ids(value):
    if isinstance(value, (list, tuple)):
        return [id(value), [_container_ids(item) for item in value]]
    return id(value)


def _use_everywhere(exprs, statements, names):
    """Every builder, and run, given the objects (and lists of them), in
    calls that succeed and calls that fail."""
    a, b = exprs[0], exprs[-1]
    expr_list, stmt_list = list(exprs), list(statements)
    bad_exprs, bad_stmts = exprs + [statements[0]], statements + [exprs[0]]
    lists = [expr_list, stmt_list, bad_exprs, bad_stmts]
    before = [list(items) for items in lists]
    made = [Expr.equals(a, b), Expr.greater_than(a, a), Expr.less_than(b, a), Expr.not_(a),
            Expr.call(names[0], b), Expr.vector(expr_list), Expr.vector(tuple(exprs)),
            Statement.let(names[1], a), Statement.if_(b, stmt_list, stmt_list)]
    made += [Expr.binary_op(a, o, b) for o in "+-*/"]
    for failing in (lambda: Expr.binary_op(a, "%", b), lambda: Expr.vector(bad_exprs),
                    lambda: Statement.if_(a, stmt_list, bad_stmts), lambda: Quarn().run(bad_stmts)):
        try:
            failing()
        except (TypeError, ValueError):
            pass
        else:
            raise AssertionError("a bad argument was accepted")
    q = Quarn()
    run_machine(q, stmt_list)
    run_machine(q, [Statement.let("__probe", e) for e in made if type(e) is Expr])
    for items, copy in zip(lists, before):
        assert len(items) == len(copy) and all(x is y for x, y in zip(items, copy))


@given(randoms)
def test_builders_never_change_their_arguments(rng):
    gen = Generator(rng)
    prelude = build_program(gen.prelude())
    exprs = [build_expr(gen.expr(2)) for _ in range(3)]
    statements = [build_statement(gen.statement(1)) for _ in range(3)]
    value = gen_literal(rng, depth=3)
    value_copy, value_ids = _deep_copy(value), _container_ids(value)

    def probes():
        out = [_probe(prelude, [Statement.let("__probe", e)]) for e in exprs]
        out += [_probe(prelude, [s]) for s in statements]
        return out

    before = probes()
    literal = Expr.literal(value)
    _use_everywhere(exprs + [literal], statements, [gen.name(gen.functions), gen.name(gen.values)])
    _use_everywhere(exprs[::-1], statements[::-1], [rng.choice(NAMES), rng.choice(NAMES)])
    after = probes()
    assert all(_same_probe(x, y) for x, y in zip(before, after))
    assert same(value, value_copy) and _container_ids(value) == value_ids


def _deep_copy(value):
    if isinstance(value, (list, tuple)):
        return type(value)(_deep_copy(item) for item in value)
    return value


@given(randoms)
def test_running_a_program_twice(rng):
    """The same program objects run twice on one machine leave what freshly
    built copies leave; two new machines agree with each other; all agree
    with the model."""
    prelude, program = gen_case(rng)
    built = build_program(program)
    once, again, fresh = Quarn(), Quarn(), Quarn()
    model = new_model()
    model.run(prelude)
    for q in (once, again, fresh):
        q.run(build_program(prelude))
    outcomes = [run_machine(once, built), run_machine(again, built), run_machine(fresh, build_program(program))]
    assert outcomes[0] == outcomes[1] == outcomes[2] == run_model(model, program)
    for q in (once, again, fresh):
        assert_same_bindings(q, model)
    outcomes = [run_machine(once, built), run_machine(again, build_program(program))]
    assert outcomes[0] == outcomes[1] == run_model(model, program)
    for q in (once, again):
        assert_same_bindings(q, model)
