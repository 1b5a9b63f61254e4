"""What `mypy --strict` accepts against the stub, and what it must refuse.

The test command type-checks this file; nothing runs it. Each line the stub
must refuse carries a `# type: ignore[code]`, which `mypy --strict` reports
as unused if the stub ever accepts that line.
"""
from __future__ import annotations

import array
from typing import TYPE_CHECKING, Any, Literal

from velmo import Column, Columns, Expr, Quarn, Statement

if TYPE_CHECKING:  # the aliases exist for type checkers only
    from velmo import Result, Value


# A callback receives whatever the program passes it, so its parameter may be
# of any type; what it returns must be a Value.
def tax(amount: float) -> float:
    return round(amount * 0.2, 2)


def words(text: str) -> list[str]:
    return text.split()


def first(items: Result) -> Value:
    return items[0] if isinstance(items, list) and items else None


def anything(x: Any) -> tuple[int, str, list[float]]:
    return (1, "a", [2.5])


literal: Value = (None, True, 1, 2.5, "text", [b"bytes", range(3)])
program = [
    Statement.let("price", Expr.literal(12.5)),
    Statement.let(0, Expr.literal(literal)),
    Statement.fn("tax", tax),
    Statement.fn("words", words),
    Statement.fn("first", first),
    Statement.fn(2**64 - 1, anything),
    Statement.fn("double", lambda x: x * 2),
    Statement.let("due", Expr.binary_op(Expr.ident("price"), "+", Expr.call("tax", Expr.ident("price")))),
    Statement.if_(Expr.greater_than(Expr.ident("due"), Expr.literal(10)), [], []),
]
quarn = Quarn()
quarn.run(program)
due: Result = quarn.get("due")
text = repr(quarn)
# Pickling: what __reduce__ gives pickle, and copies of each class.
loader, (payload, functions) = program[0].__reduce__()
restored = loader(payload, functions)
same: Statement = program[0].__deepcopy__({})
twin: Quarn = quarn.__copy__()
# Records: update takes a mapping of any name type or (name, value) pairs;
# run_many gives a tuple per row, and with errors="return" an exception in
# place of the tuple of a row that failed.
record: dict[str, float] = {"price": 12.5}
quarn.update(record)
quarn.update({1: "one", "two": [2, 2.5]})
quarn.update(zip(["a", "b"], [1, "x"]))
rows: list[tuple[str, float]] = [("gold", 1.5)]
results: list[tuple[Result, ...]] = quarn.run_many(program, rows, inputs=("tier", 0), outputs=["due"])
quarn.run_many(program, [record], outputs=("due",))
quarn.run_many(program, [{"a": 1}, {2: "x"}, [("b", 2.5)]])
quarn.run_many(program, (pairs for pairs in [[("a", 1)]]), errors="raise")
for outcome in quarn.run_many(program, rows, inputs=["tier", "weight"], errors="return"):
    notes: list[str] = outcome.__notes__ if isinstance(outcome, BaseException) else []
mode: Literal["raise", "return"] = "return"
either: list[tuple[Result, ...] | BaseException] = quarn.run_many(program, rows, inputs=["a", "b"], errors=mode)
# Tables: run_columns takes a mapping of sequences or buffers (or an Arrow
# object) and gives Columns, a mapping of Column.
table: Columns = quarn.run_columns(program, {"tier": ["gold"], "weight": array.array("d", [1.5])}, outputs=["due"])
column: Column = table["due"]
values: list[None | bool | int | float | str] = column.to_pylist()
cell: None | bool | int | float | str = column[-1]
counts: tuple[int, int, int] = (len(column), column.null_count, table.num_rows)
failed: dict[int, BaseException] = quarn.run_columns(program, {0: [1]}, outputs=[0], inputs=[0], errors="return").failures
names_out: list[str | int] = list(table)
held: list[str | int] = quarn.names()
found: bool = "due" in quarn or 0 in quarn
size: int = len(quarn)


def to_dict(x: float) -> dict[str, float]:
    return {"x": x}


Statement.fn("to_dict", to_dict)  # type: ignore[arg-type]
Expr.literal({"a": 1})  # type: ignore[arg-type]
Expr.binary_op(Expr.literal(1), "%", Expr.literal(2))  # type: ignore[arg-type]
Statement.let(2.5, Expr.literal(1))  # type: ignore[arg-type]
number: float = quarn.get("due")  # type: ignore[assignment]
Quarn(1)  # type: ignore[call-arg]
Expr()  # type: ignore[call-arg]
shown: str = payload  # type: ignore[assignment]
other: Expr = program[0].__copy__()  # type: ignore[assignment]
quarn.update({2.5: 1})  # type: ignore[type-var]
quarn.update({"a": {"b": 1}})  # type: ignore[arg-type]
quarn.update([("a", 1), "ab"])  # type: ignore[list-item]
quarn.run_many(program, rows, ["tier", "weight"])  # type: ignore[call-overload]
quarn.run_many(program, rows, errors="ignore")  # type: ignore[call-overload]
unchecked: list[tuple[Result, ...]] = quarn.run_many(program, rows, errors="return")  # type: ignore[assignment]
2.5 in quarn  # type: ignore[operator]
first_name: str = quarn.names()[0]  # type: ignore[assignment]
quarn.run_columns(program, {"a": [1]})  # type: ignore[call-arg]
quarn.run_columns(program, {"a": [1]}, outputs=["due"], errors="ignore")  # type: ignore[arg-type]
quarn.run_columns(program, 5, outputs=["due"])  # type: ignore[arg-type]
text_value: str = column[0]  # type: ignore[assignment]
Column()  # type: ignore[call-arg]
