"""Seeded random programs checked against the reference model.

Each seed makes a few whole programs (bindings of values and Python functions,
nested and non-boolean conditions, calls of bound, unbound and non-function
names, vectors, every kind of literal) and runs each twice on one machine:
the outcome of every run, the exact failure message, and every binding left
behind (failed runs roll nothing back) must agree with the model.
VELMO_TEST_SEEDS=2000 runs many more seeds.
"""

import os
import random

import pytest

from reference_model import Failure
from random_programs import NAMES, check_program, gen_case, new_model

SEEDS = int(os.environ.get("VELMO_TEST_SEEDS", "30"))
PROGRAMS_PER_SEED = 6


@pytest.mark.parametrize("seed", range(SEEDS))
def test_random_programs_agree_with_model(seed):
    rng = random.Random(seed)
    for _ in range(PROGRAMS_PER_SEED):
        check_program(*gen_case(rng), repeat=2)


def test_generated_programs_cover_the_outcomes():
    """The seeds above reach every kind of outcome, so that a change to the
    generator cannot quietly make the comparison trivial."""
    outcomes, reads = [], set()
    for seed in range(SEEDS):
        rng = random.Random(seed)
        for _ in range(PROGRAMS_PER_SEED):
            prelude, program = gen_case(rng)
            model = new_model()
            model.run(prelude)
            try:
                model.run(program)
                outcomes.append("completed")
            except Failure as failure:
                outcomes.append(failure.message)
            reads.update(model.get(name)[0] for name in NAMES)
    assert reads == {"value", "panic", "type_error"}
    prefixes = [
        "completed",
        "Value cannot be found: ",
        "Binary operator for unknown type",
        "Both left-hand and right-hand side values must be a number",
        "The not expression must be used on a boolean value",
        "Expected deduced condition to be a bool, got other type",
        "Expected other item to be Value::",
        "attempt to divide by zero",
        "called `Option::unwrap()` on a `None` value",
        "called `Result::unwrap()` on an `Err` value: ",
        "Failed while executing Python function with Quarn: ",
        "Failed to run Python::with_gil(...): ",
    ]
    missing = [p for p in prefixes if not any(o.startswith(p) for o in outcomes)]
    assert missing == []
    assert outcomes.count("completed") >= len(outcomes) // 5
