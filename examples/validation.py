"""Validation rules loaded from JSON, turned into Quarn trees, run over records.

The rules live in validation_rules.json beside this file, so that they can be
changed without touching code. Each rule's check is compiled once into a
Quarn statement, and the whole rule set runs over all the records on one
machine, in one call of Quarn.run_many.

A rule that cannot be checked on a record (a field of the wrong kind, a
missing one) stops that record's run. With errors="return" the record gives
its exception in place of its verdicts and the other records go on. The
exception's note, "at statement 3", names the rule that could not run; the
record runs again without that rule, so that it hides none of the others.
"""
from __future__ import annotations

import json
import re
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


def compile_check(node: object, where: str, fields: set[str]) -> Expr:
    """The Quarn expression of one JSON check; adds the fields it reads to `fields`."""
    if node is None or isinstance(node, (bool, int, float, str)):
        return Expr.literal(node)
    if not (isinstance(node, list) and node and isinstance(node[0], str)):
        raise RuleError(f"{where}: expected a constant or [OPERATOR, ...], got {node!r}")
    head, args = node[0], node[1:]
    if head == "field" and len(args) == 1 and isinstance(args[0], str):
        fields.add(args[0])
        return Expr.ident(args[0])
    if head == "call" and len(args) == 2 and args[0] in FUNCTIONS:
        return Expr.call(str(args[0]), compile_check(args[1], where, fields))
    operands = [compile_check(arg, where, fields) for arg in args]
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
    index: int  # its place in the file, from 0: the name its verdict is bound to
    name: str
    message: str
    fields: frozenset[str]  # the fields its check reads
    statement: Statement  # binds the rule's index to True or False


def load_rules(path: Path) -> list[Rule]:
    with path.open(encoding="utf-8") as f:
        document: object = json.load(f)
    if not isinstance(document, dict) or not isinstance(document.get("rules"), list):
        raise RuleError(f"{path}: expected an object with a list of rules")
    rules: list[Rule] = []
    for number, entry in enumerate(document["rules"], 1):
        if not (isinstance(entry, dict) and isinstance(entry.get("name"), str)
                and isinstance(entry.get("message"), str) and "check" in entry):
            raise RuleError(f"{path}: rule {number} needs a name, a message and a check")
        name = str(entry["name"])
        fields: set[str] = set()
        check = compile_check(entry["check"], f"{path.name}: rule {name!r}", fields)
        # A condition must be a bool: a check that gives anything else stops.
        # The verdict is bound to the rule's index, an int name, which no
        # field's name (a str) can clash with.
        index = len(rules)
        verdict = Statement.if_(check, [Statement.let(index, Expr.literal(True))],
                                [Statement.let(index, Expr.literal(False))])
        rules.append(Rule(index, name, str(entry["message"]), frozenset(fields), verdict))
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


# A rule's verdict on a record: True or False, or why it could not be checked.
Verdict = Union[bool, str]


def failed_statement(error: BaseException) -> int:
    """The statement a failed run stopped in, from the note it added:
    "at statement 3" (with ", then-branch statement 0" and so on after it
    when the statement is inside an if). An error of a record's values,
    which has no such note, is raised again."""
    for note in getattr(error, "__notes__", []):
        found = re.match(r"at statement (\d+)", note)
        if found:
            return int(found[1])
    raise error


def check_records(quarn: Quarn, rules: list[Rule], fields: list[str],
                  rows: list[tuple[Field, ...]]) -> list[dict[int, Verdict]]:
    """Each record's verdicts, by rule index. A record that breaks a rule
    runs again without it."""
    results = quarn.run_many([rule.statement for rule in rules], rows, inputs=fields,
                             outputs=[rule.index for rule in rules], errors="return")
    verdicts: list[dict[int, Verdict]] = []
    for row, result in zip(rows, results):
        if isinstance(result, tuple):
            verdicts.append({rule.index: value is True for rule, value in zip(rules, result)})
            continue
        broken = rules[failed_statement(result)]
        others = [rule for rule in rules if rule is not broken]
        verdict = check_records(quarn, others, fields, [row])[0] if others else {}
        verdict[broken.index] = str(result).splitlines()[0]
        verdicts.append(verdict)
    return verdicts


def main() -> None:
    rules = load_rules(Path(__file__).with_name("validation_rules.json"))
    print(f"{len(rules)} rules: {', '.join(rule.name for rule in rules)}")
    quarn = Quarn()  # one machine for every record
    quarn.run([Statement.fn(name, f) for name, f in FUNCTIONS.items()])
    # Each record is a row of every field a rule reads, None for one it
    # lacks: a row binds them all, so no field of a record is left over from
    # the record before it.
    fields = sorted(set().union(*(rule.fields for rule in rules)))
    rows = [tuple(record.get(field) for field in fields) for record in RECORDS]
    for number, (record, verdicts) in enumerate(zip(RECORDS, check_records(quarn, rules, fields, rows)), 1):
        failed = [rule for rule in rules if verdicts[rule.index] is False]
        unchecked = [rule for rule in rules if isinstance(verdicts[rule.index], str)]
        verdict = "accepted" if not failed and not unchecked else "rejected"
        print(f"record {number} ({record.get('name')!r}): {verdict}")
        for rule in failed:
            print(f"  fails {rule.name}: {rule.message}")
        for rule in unchecked:
            missing = sorted(rule.fields - record.keys())
            lacking = f" (the record has no {', '.join(missing)})" if missing else ""
            print(f"  cannot check {rule.name}: {verdicts[rule.index]}{lacking}")


if __name__ == "__main__":
    main()
