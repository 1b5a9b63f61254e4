"""Validation rules loaded from JSON, turned into Quarn trees, run against records.

The rules live in validation_rules.json beside this file, so that they can be
changed without touching code. Each rule's check is compiled once into a
Quarn statement; every record gets its own machine holding its fields as
variables, and each rule runs on it separately, so that a rule that cannot
be checked on a record (a missing field, a field of the wrong kind) is
reported as such without hiding the others.
"""
from __future__ import annotations

import json
import re
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Callable, Dict, Literal, Union

from velmo import Expr, Quarn, Statement

if TYPE_CHECKING:  # aliases of the stub: what Quarn.get gives, what Expr.literal takes
    from velmo import Result, Value

Field = Union[None, bool, int, float, str]
Operator = Literal["+", "-", "*", "/"]

ARITHMETIC: Dict[str, Operator] = {"+": "+", "-": "-", "*": "*", "/": "/"}
COMPARISONS: Dict[str, Callable[[Expr, Expr], Expr]] = {
    "==": Expr.equals,
    "!=": lambda a, b: Expr.not_(Expr.equals(a, b)),
    "<": Expr.less_than,
    ">": Expr.greater_than,
    "<=": lambda a, b: Expr.not_(Expr.greater_than(a, b)),
    ">=": lambda a, b: Expr.not_(Expr.less_than(a, b)),
}


class RuleError(ValueError):
    """A rule file that does not describe valid checks."""


def length(value: Result) -> Value:
    if not isinstance(value, (str, list)):
        raise TypeError(f"length of {value!r}")
    return len(value)


def matches(value: Result) -> Value:
    """[text, pattern]: whether the whole text matches the regular expression."""
    if not (isinstance(value, list) and len(value) == 2 and all(isinstance(v, str) for v in value)):
        raise TypeError(f"matches takes [text, pattern], not {value!r}")
    text, pattern = value
    return re.fullmatch(str(pattern), str(text)) is not None


FUNCTIONS: Dict[str, Callable[[Result], Value]] = {"length": length, "matches": matches}


def all_of(items: list[Expr], wanted: bool) -> Expr:
    """True when every item is `wanted`: Quarn compares vectors element by element."""
    return Expr.equals(Expr.vector(items), Expr.literal([wanted] * len(items)))


def compile_check(node: object, where: str) -> Expr:
    """The Quarn expression of one JSON check."""
    if node is None or isinstance(node, (bool, int, float, str)):
        return Expr.literal(node)
    if not (isinstance(node, list) and node and isinstance(node[0], str)):
        raise RuleError(f"{where}: expected a constant or [OPERATOR, ...], got {node!r}")
    head, args = node[0], node[1:]
    if head == "field" and len(args) == 1 and isinstance(args[0], str):
        return Expr.ident(args[0])
    if head == "call" and len(args) == 2 and args[0] in FUNCTIONS:
        return Expr.call(str(args[0]), compile_check(args[1], where))
    operands = [compile_check(arg, where) for arg in args]
    if head == "list":
        return Expr.vector(operands)
    if head == "not" and len(operands) == 1:
        return Expr.not_(operands[0])
    if head == "and" and operands:
        return all_of(operands, True)
    if head == "or" and operands:
        return Expr.not_(all_of(operands, False))
    if head in ARITHMETIC and len(operands) == 2:
        return Expr.binary_op(operands[0], ARITHMETIC[head], operands[1])
    if head in COMPARISONS and len(operands) == 2:
        return COMPARISONS[head](operands[0], operands[1])
    raise RuleError(f"{where}: cannot apply {head!r} to {len(operands)} operands")


@dataclass(frozen=True)
class Rule:
    name: str
    message: str
    statement: Statement  # binds the rule's name to True or False


def load_rules(path: Path) -> list[Rule]:
    with path.open(encoding="utf-8") as f:
        document: object = json.load(f)
    if not isinstance(document, dict) or not isinstance(document.get("rules"), list):
        raise RuleError(f"{path}: expected an object with a list of rules")
    rules = []
    for number, entry in enumerate(document["rules"], 1):
        if not (isinstance(entry, dict) and isinstance(entry.get("name"), str)
                and isinstance(entry.get("message"), str) and "check" in entry):
            raise RuleError(f"{path}: rule {number} needs a name, a message and a check")
        name = str(entry["name"])
        check = compile_check(entry["check"], f"{path.name}: rule {name!r}")
        # A condition must be a bool: a check that gives anything else stops.
        verdict = Statement.if_(check, [Statement.let(name, Expr.literal(True))],
                                [Statement.let(name, Expr.literal(False))])
        rules.append(Rule(name, str(entry["message"]), verdict))
    return rules


RECORDS: list[dict[str, Field]] = [
    {"name": "Ada", "age": 36, "email": "ada@example.org", "country": "FR", "vip": True,
     "order_total": 1250.0, "discount": 100.0},
    {"name": "Bob", "age": 17, "email": "bob(at)example.org", "country": "US", "vip": False,
     "order_total": 80.0, "discount": 20.0},
    {"name": "Chen", "age": "41", "email": "chen@example.com", "country": "IT", "vip": False,
     "order_total": 300, "discount": 30},
    {"name": "Dana", "age": 52, "email": "dana@example.net", "country": "DE", "vip": False,
     "order_total": 95.5},
]


def check_record(record: dict[str, Field], rules: list[Rule]) -> tuple[list[Rule], dict[str, str]]:
    """The rules the record fails, and the rules that could not be checked with why."""
    quarn = Quarn()
    quarn.run([Statement.fn(name, f) for name, f in FUNCTIONS.items()]
              + [Statement.let(field, Expr.literal(value)) for field, value in record.items()])
    failed: list[Rule] = []
    unchecked: dict[str, str] = {}
    for rule in rules:
        try:
            quarn.run([rule.statement])
        except BaseException as error:  # PanicException derives from BaseException
            if type(error).__name__ != "PanicException":
                raise
            unchecked[rule.name] = str(error).splitlines()[0]
            continue
        if quarn.get(rule.name) is False:
            failed.append(rule)
    return failed, unchecked


def main() -> None:
    rules = load_rules(Path(__file__).with_name("validation_rules.json"))
    print(f"{len(rules)} rules: {', '.join(rule.name for rule in rules)}")
    for number, record in enumerate(RECORDS, 1):
        failed, unchecked = check_record(record, rules)
        sys.stderr.flush()  # rules that could not run were also reported there
        verdict = "accepted" if not failed and not unchecked else "rejected"
        print(f"record {number} ({record.get('name')!r}): {verdict}")
        for rule in failed:
            print(f"  fails {rule.name}: {rule.message}")
        for name, reason in unchecked.items():
            print(f"  cannot check {name}: {reason}")


if __name__ == "__main__":
    main()
