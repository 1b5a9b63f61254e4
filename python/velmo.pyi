"""Quarn, a very small language with no text syntax, built as syntax trees.

Python code builds a Quarn program with the static builders of `Expr` and
`Statement`, runs it on a `Quarn` machine, reads the variables back with
`Quarn.get`, and binds Python functions that Quarn code calls.

A program that fails while it runs raises ``PanicException``. It derives from
BaseException, not Exception, and it is not an attribute of this module:
catch it with ``except BaseException as e`` and recognise it with
``type(e).__name__ == "PanicException"``; ``str(e)`` is the message.
"""

from typing import (Any, Callable, Iterable, Iterator, Literal, Mapping, NoReturn, Protocol, Sequence, SupportsIndex,
                    TypeVar, final, overload)

__all__ = ["Quarn", "Statement", "Expr", "Columns", "Column"]

# What a builder takes as a name: a str, or an int from 0 to 2**64 - 1
# (True and False name 1 and 0). The name 1 and the name "1" differ.
_Name = str | int

# What Expr.literal takes, and what a bound function may return: None, bool,
# int, float, str, and any sequence of these other than str (a tuple, a list,
# bytes as a sequence of ints). An int outside signed 64 bits becomes a float.
# Type checkers alone see it: import it under `if TYPE_CHECKING:`.
Value = None | bool | int | float | str | Sequence[Value]

# What comes back from Quarn.get and what a bound function receives: the same
# kinds, with every sequence as a new list. Type checkers alone see it, as
# they see Value.
Result = None | bool | int | float | str | list[Result]

# What Quarn.update binds, and a row of Quarn.run_many without `inputs`: a
# mapping of names to values, or (name, value) pairs. Mapping is invariant in
# its keys, so a dict[str, float] is no Mapping[str | int, Value]: each kind
# of key has a member of its own, and the methods add Mapping[_Key, Value],
# which lets a type checker infer a dict that mixes them. (Written in the
# signatures, not in a generic alias, where mypy infers less.)
_Mappings = Mapping[str, Value] | Mapping[int, Value] | Mapping[_Name, Value]
_Pairs = Iterable[tuple[_Name, Value]]
_Key = TypeVar("_Key", bound=str | int)

# What Quarn.run_columns reads: an Arrow table, record batch or stream (any
# object of Arrow's PyCapsule interface), or a mapping of names to columns,
# each an Arrow array or chunked array, a buffer of numbers or booleans (a
# numpy array, an array.array), or any sequence of values. The columns of a
# mapping are of any type here: a dict of a list and a numpy array is a
# dict of objects to a type checker; run_columns checks each column itself.
class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: Any = ..., /) -> object: ...

class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: Any = ..., /) -> tuple[object, object]: ...

_Table = _ArrowStream | _ArrowArray | Mapping[str, object] | Mapping[int, object] | Mapping[_Name, object]

# A value of a Column: what an output column holds.
_Item = None | bool | int | float | str

# The four operators of Expr.binary_op; any other str raises ValueError.
_Operator = Literal["+", "-", "*", "/"]

# What pickle receives from __reduce__: a loader of the module, called with
# the payload's bytes and the tuple of the Python functions it names.
_Functions = tuple[Callable[[Any], Value], ...]
_Reduced = tuple[Callable[[bytes, _Functions], Any], tuple[bytes, _Functions]]

@final
class Quarn:
    """A Quarn machine: one table of variables that programs read and write.

    ``Quarn()`` takes no arguments and starts with no variables. Each `run`
    adds variables or replaces their values and nothing removes one, so the
    bindings of one run are seen by the next. Two machines never share a
    variable. ``repr()`` shows every variable in its debug form, in no fixed
    order, as ``Machine { vars: {S("x"): Number(Int(1))} }``.

    A machine survives every error: after a failed run it keeps the bindings
    made before the failure and can be used again. It may be shared by several
    threads, and a bound function may call `run`, `get`, `update` and
    `run_many` on the machine that is calling it.

    `update` binds a record's fields in one call, and `run_many` runs one
    program over many records, reading results back. `names()`, ``ident in
    q`` and ``len(q)`` read what the machine holds. The exception of a failed
    run carries a note (``e.__notes__``) naming the statement where it
    stopped, such as ``at statement 3, then-branch statement 0``.

    Two limits, keyword-only and off by default, bound what programs built
    from data can do: `max_operations`, the statements, expression nodes and
    compared pairs of items of one run (with the runs its bound functions
    start on this machine); `max_value_size`, the size of every value a run
    makes or binds. Past one the run raises PanicException
    (``Operation limit exceeded: max_operations=N``, ``Value size limit
    exceeded: max_value_size=N``).

    Raises TypeError for a positional argument, an unknown keyword, or a limit
    that is not an int; ValueError for a limit below 1.
    """

    def __new__(cls, *, max_operations: int | None = None, max_value_size: int | None = None) -> Quarn:
        """A new machine with no variables, with the limits given (None: no limit)."""

    def run(self, stmts: Sequence[Statement]) -> None:
        """Execute the statements in order on this machine.

        The statements are executed as they are, not copied, and never change:
        the same list may be run again, here or on another machine. A run of
        ``let`` of x to x + 1 increments x, since the expression is evaluated
        before the name is bound. The interpreter lock is held for the whole
        run; Python functions that the program calls run on this thread,
        inside this call.

        Raises TypeError (``argument 'stmts': ...``) when `stmts` is a str,
        not a sequence, or holds something that is not a Statement; nothing
        is executed then. Raises PanicException when a statement fails (an
        unbound name, an operator on the wrong kinds, a condition that is not
        a bool, integer division by zero, a failing bound function, ...):
        the run stops there, the statements executed before keep their
        effects, and the failure is reported on standard error. The
        exception carries a note naming the statement that failed, as
        indices into the statement lists: ``at statement 1, then-branch
        statement 0``.
        """

    def get(self, ident: _Name) -> Result:
        """Return the current value of the variable `ident`.

        A new Python object is built from the stored value on every call (a
        vector becomes a new list each time), so changing it changes nothing
        in the machine. Integers come back as int, floats as float (NaN,
        infinities and -0.0 unchanged), text as str, null as None.

        Raises TypeError (``argument 'ident': ...``) when `ident` is not a str
        or an int from 0 to 2**64 - 1; PanicException
        ``Value cannot be found: S("x")`` when the name is not bound;
        TypeError ``Cannot convert a Rust trait to Python`` when it is bound
        to a function (the binding stays usable by Quarn code); PanicException
        when it holds a vector that contains a function.
        """

    def update(self, bindings: _Mappings | Mapping[_Key, Value] | _Pairs) -> None:
        """Bind many names to Python values in one call.

        `bindings` is a dict, any mapping (read with ``keys()`` and ``[]``),
        or any iterable of (name, value) pairs. Names convert as the argument
        of `get`, values as the argument of `Expr.literal`. Everything is
        converted before anything is bound; then the names are bound in
        order, as one run of the matching ``let`` statements of literals
        would bind them: a name given twice takes its last value, and each
        binding costs two operations under `max_operations`.

        Raises TypeError (``argument 'bindings': ...``) for a name or value
        that does not convert, an argument that is not iterable, or an item
        that is no pair, and ValueError for a pair of another size: nothing
        is bound then. Past a limit, raises PanicException as `run` does,
        and the bindings made before stay.
        """

    @overload
    def run_many(
        self,
        stmts: Sequence[Statement],
        rows: Iterable[Sequence[Value] | _Mappings | Mapping[_Key, Value] | _Pairs],
        *,
        inputs: Sequence[_Name] | None = None,
        outputs: Sequence[_Name] = (),
        errors: Literal["raise"] = "raise",
    ) -> list[tuple[Result, ...]]:
        """Run `stmts` once per row of `rows`; one tuple of `outputs` per row.

        `stmts` is converted once, as `run` converts it. `rows` is any
        iterable, consumed once, one row at a time. With `inputs`, a sequence
        of names, each row is a sequence of exactly as many values, bound to
        those names in order; without, each row is a mapping or (name, value)
        pairs, bound as `update` binds. Each row is then run as one `run`,
        with its own `max_operations` budget, and each name of `outputs` is
        read as `get` reads it. A row sees what earlier rows bound.

        With ``errors="raise"``, the first row that fails ends the call with
        the exception that `run`, `get` or the conversion would raise, the
        same message, and a note ``in row N`` after the note naming the
        statement that failed. With ``errors="return"``, its exception, with
        the same notes, stands in the list in place of the row's tuple, no
        report is written to standard error, and the call goes on. An
        exception of a signal handler (Ctrl-C) or of the iterator of `rows`
        always ends the call. Any other `errors` raises ValueError.
        """

    @overload
    def run_many(
        self,
        stmts: Sequence[Statement],
        rows: Iterable[Sequence[Value] | _Mappings | Mapping[_Key, Value] | _Pairs],
        *,
        inputs: Sequence[_Name] | None = None,
        outputs: Sequence[_Name] = (),
        errors: Literal["return"],
    ) -> list[tuple[Result, ...] | BaseException]:
        """As above; a row that fails gives its exception in place of its tuple."""

    @overload
    def run_many(
        self,
        stmts: Sequence[Statement],
        rows: Iterable[Sequence[Value] | _Mappings | Mapping[_Key, Value] | _Pairs],
        *,
        inputs: Sequence[_Name] | None = None,
        outputs: Sequence[_Name] = (),
        errors: Literal["raise", "return"] = "raise",
    ) -> list[tuple[Result, ...] | BaseException]:
        """As above, for an `errors` that may be either: rows give tuples or exceptions."""

    def run_columns(
        self,
        stmts: Sequence[Statement],
        columns: _Table,
        *,
        outputs: Sequence[_Name],
        inputs: Sequence[_Name] | None = None,
        errors: Literal["raise", "return"] = "raise",
    ) -> Columns:
        """Run `stmts` once per row of a table; each output's values as a column.

        `columns` is an object with ``__arrow_c_stream__`` (a pyarrow Table or
        RecordBatchReader, a polars or pandas DataFrame, a DuckDB relation),
        read one record batch at a time; an object with ``__arrow_c_array__``
        whose array is a struct (a pyarrow RecordBatch); or a mapping of names
        to columns, each an Arrow array or chunked array, a one-dimensional
        buffer of numbers or booleans (a numpy array, an ``array.array``, a
        ``memoryview``) of any stride, or any sequence, whose items convert as
        `Expr.literal` converts its argument. `inputs` names the columns to
        bind (default: every one). Before any row runs: a name no column has
        raises KeyError; columns of unequal length, ValueError; a bound column
        of a type whose values do not bind (decimals, dates, binary, structs),
        TypeError.

        Values bind as the equivalent Python values would: Arrow's booleans,
        integers (a uint64 past the int64 range as a float), floats, texts
        (utf8, large_utf8, utf8_view, dictionary-encoded), a null as None's
        Null, a list as a vector. Each row is bound and run as a row of
        `run_many`, with one `max_operations` budget for both, and each name
        of `outputs` is read as `get` reads it into a column of its own.

        Failures are those of `run_many`: the first failed row raises, with
        the note ``in row N`` (N counting over every batch); with
        ``errors="return"`` each output of a failed row is null and its
        exception is in the result's `failures`. An output of a kind that
        its column does not hold (a text in a column of numbers; a vector or
        a function in any) fails its row with TypeError.
        """

    def names(self) -> list[str | int]:
        """The bound names: str for text names, int for number names.

        A new list in the table's own order, which is undefined (as for
        ``repr``); names of functions included.
        """

    def __contains__(self, ident: _Name, /) -> bool:
        """Whether `ident` is bound, to anything; its value is not converted.

        Raises TypeError (``argument 'ident': ...``) when `ident` is not a
        name, as `get` does.
        """

    def __len__(self) -> int:
        """The number of bound names."""

    def __bool__(self) -> Literal[True]:
        """Always True, whatever the machine holds: use len() to see if it holds names."""

    def __repr__(self) -> str:
        """The machine's variables in their debug form, in no fixed order."""

    def __reduce__(self) -> _Reduced:
        """Pickle support: the machine's limits and variables as one payload.

        Values keep what they share, so a table bound to several names, or a
        vector made of itself many times over, travels once. The Python
        functions bound in it go through pickle by its own rules: a function
        defined at the top of a module travels by its name, a lambda makes
        pickle fail. ``pickle.loads`` gives a new, independent machine.
        """

    def __copy__(self) -> Quarn:
        """A new machine with the same limits, its variables bound to the same values."""

    def __deepcopy__(self, memo: dict[int, Any]) -> Quarn:
        """The same as `__copy__`: values never change, so the copy may share them."""

@final
class Statement:
    """One Quarn statement; a program is a list of them.

    Statements are made only by the static builders `let`, `if_` and `fn`
    (calling the class raises TypeError ``No constructor defined for
    Statement``). A statement never changes once built, so it can be used in
    any number of programs and runs.
    """

    # No argument type fits, so a type checker flags every call of the class.
    def __new__(cls, no_constructor: NoReturn, /) -> Statement:
        """Always raises TypeError ``No constructor defined for Statement``."""

    def __reduce__(self) -> _Reduced:
        """Pickle support: the tree as one flat payload, at any depth.

        Shared subtrees and values are written once and shared again when
        loaded. The Python functions of `fn` statements go through pickle by
        its own rules: a function defined at the top of a module travels by
        its name, a lambda makes pickle fail.
        """

    def __copy__(self) -> Statement:
        """The statement itself: it never changes."""

    def __deepcopy__(self, memo: dict[int, Any]) -> Statement:
        """The statement itself: it never changes."""

    @staticmethod
    def let(ident: _Name, pxpr: Expr) -> Statement:
        """Bind `ident` to the value of `pxpr` when run.

        The new statement shares `pxpr`, which is not copied. Any earlier
        binding of the name is replaced, whatever its kind; if `pxpr` fails,
        the old binding stays.

        Raises TypeError (``argument 'ident': ...`` or ``argument 'pxpr':
        ...``) when `ident` is not a name or `pxpr` not an Expr.
        """

    @staticmethod
    def if_(pxpr: Expr, then: Sequence[Statement], otherwise: Sequence[Statement]) -> Statement:
        """Run `then` when `pxpr` is true, `otherwise` when it is false.

        The condition must evaluate to a bool: any other kind stops the run
        with PanicException ``Expected deduced condition to be a bool, got
        other type`` (no value counts as true or false). Either list may be
        empty. There is no new scope: names bound in the chosen list stay
        bound. The statement shares `pxpr` and the statements of both lists.

        Raises TypeError (``argument 'then': ...``) when a list is a str, not
        a sequence, or holds something that is not a Statement.
        """

    @staticmethod
    def fn(ident: _Name, item: Callable[[Any], Value]) -> Statement:
        """Bind `ident` to the Python function `item` when run.

        `item` must be a plain Python function, made by ``def`` or ``lambda``:
        built-in functions, bound methods, classes and other callable objects
        are refused. Quarn code calls it with `Expr.call`: it receives one
        argument, converted to Python as `Quarn.get` converts, and returns a
        value that converts as `Expr.literal` converts. It runs on the thread
        of the run, may build and run programs, also on the machine that
        called it, and sees that machine's bindings at once. The statement
        holds a reference to `item`; the function is not called when the
        statement is built.

        Raises TypeError ``argument 'item': '...' object cannot be converted
        to 'PyFunction'`` for anything but a plain function. When the program
        runs, a call fails with PanicException if the function raises
        (``Failed while executing Python function with Quarn: ...``) or returns
        something that is not a value (``Failed to run Python::with_gil(...):
        ...``).
        """

@final
class Expr:
    """One Quarn expression, evaluated when a statement that holds it runs.

    Expressions are made only by the static builders (calling the class
    raises TypeError ``No constructor defined for Expr``). An expression never
    changes once built and can be shared by any number of trees: builders
    keep a reference to the subtrees they are given instead of copying them,
    so each builder call costs the same whatever the size of its operands.
    Builders check only the Python types of their arguments; whether the tree
    makes sense (adding a str to an int, calling a name that is never bound)
    is found out when it runs, as a PanicException.
    """

    # No argument type fits, so a type checker flags every call of the class.
    def __new__(cls, no_constructor: NoReturn, /) -> Expr:
        """Always raises TypeError ``No constructor defined for Expr``."""

    def __reduce__(self) -> _Reduced:
        """Pickle support: the tree as one flat payload, at any depth.

        Shared subtrees and values are written once and shared again when
        loaded. The Python functions of `fn` statements go through pickle by
        its own rules: a function defined at the top of a module travels by
        its name, a lambda makes pickle fail.
        """

    def __copy__(self) -> Expr:
        """The expression itself: it never changes."""

    def __deepcopy__(self, memo: dict[int, Any]) -> Expr:
        """The expression itself: it never changes."""

    @staticmethod
    def literal(value: Value) -> Expr:
        """A constant: None, bool, int, float, str or a sequence of these.

        The value is converted once, when the literal is built: an int within
        signed 64 bits stays an int, a larger one becomes the nearest float;
        any sequence but a str (list, tuple, bytes, ...) becomes a vector and
        comes back as a list. Later changes to `value` do not reach the
        literal.

        Raises TypeError ``argument 'value': failed to extract enum PyValue
        ...`` for anything else (a dict, a set, an int too large for a float),
        with one line per kind explaining why it did not fit; RecursionError
        for data nested deeper than the interpreter's recursion limit.
        """

    @staticmethod
    def ident(id: _Name) -> Expr:
        """The value of the variable `id` at the moment the expression runs.

        Running it fails with PanicException ``Value cannot be found: ...``
        when the name is not bound. Raises TypeError (``argument 'id': ...``)
        when `id` is not a str or an int from 0 to 2**64 - 1.
        """

    @staticmethod
    def binary_op(a: Expr, o: _Operator, b: Expr) -> Expr:
        """`a` `o` `b`, with `o` one of "+", "-", "*", "/".

        Two ints give an int: +, - and * wrap at 64 bits, / truncates toward
        zero and fails on a zero divisor. An int with a float gives a float;
        float division by zero gives inf or nan. "+" also joins two str. Any
        other pair of kinds fails when run (PanicException ``Binary operator
        for unknown type``). The new expression shares `a` and `b`.

        Raises TypeError (``argument 'a': ...``) when `a` or `b` is not an
        Expr or `o` not a str, and ValueError ``Expected one of: +, -, *, /``
        for any other str; the arguments are all checked before the operator.
        """

    @staticmethod
    def equals(a: Expr, b: Expr) -> Expr:
        """True when `a` equals `b`, strictly: ``1`` and ``1.0`` are unequal.

        The left operand decides: None equals only None and is unequal to
        anything else, while a bool, str, number or vector on the left
        compared with another kind fails when run (PanicException ``Expected
        other item to be Value::Number`` and the like), and a function on the
        left always fails. Floats compare by IEEE equality (nan is unequal to
        itself). Shares `a` and `b`. Raises TypeError when either is not an
        Expr.
        """

    @staticmethod
    def not_(item: Expr) -> Expr:
        """The negation of the bool `item`.

        A value of any other kind fails when run (PanicException ``The not
        expression must be used on a boolean value``). Shares `item`. Raises
        TypeError (``argument 'item': ...``) when `item` is not an Expr.
        """

    @staticmethod
    def greater_than(a: Expr, b: Expr) -> Expr:
        """True when the number `a` is greater than the number `b`.

        Ints compare as ints; otherwise both sides compare as floats in the
        IEEE total order (-0.0 is below 0.0, a positive nan above inf).
        Anything but numbers fails when run (PanicException ``Both left-hand
        and right-hand side values must be a number``). Shares `a` and `b`.
        Raises TypeError when either is not an Expr.
        """

    @staticmethod
    def less_than(a: Expr, b: Expr) -> Expr:
        """True when the number `a` is less than the number `b`.

        The same order and errors as `greater_than`. Shares `a` and `b`.
        Raises TypeError when either is not an Expr.
        """

    @staticmethod
    def call(ident: _Name, args: Expr) -> Expr:
        """Call the function bound to `ident` with the value of `args`.

        The argument is evaluated first, then the name is looked up. A
        function takes exactly one argument: pass several as one `vector`.
        Running it fails with PanicException ``Value cannot be found: ...``
        when the name is not bound and ``called `Option::unwrap()` on a `None`
        value`` when it is bound to something other than a function. Shares
        `args`. Raises TypeError when `ident` is not a name or `args` not an
        Expr.
        """

    @staticmethod
    def vector(items: Sequence[Expr]) -> Expr:
        """A vector of the values of `items`, evaluated first to last.

        Shares the items. Raises TypeError (``argument 'items': ...``) when
        `items` is a str, not a sequence, or holds something that is not an
        Expr.
        """

@final
class Columns(Mapping[str | int, "Column"]):
    """What `Quarn.run_columns` gives back: a read-only mapping from each
    output's name to its `Column`, in the order of `outputs`.

    It is an Arrow table to other libraries: ``pyarrow.table(result)``,
    ``polars.DataFrame(result)`` and DuckDB read it through
    ``__arrow_c_stream__`` without copying its values.
    """

    # No argument type fits, so a type checker flags every call of the class.
    def __new__(cls, no_constructor: NoReturn, /) -> Columns:
        """Always raises TypeError: the columns come from `Quarn.run_columns`."""

    def __getitem__(self, key: str | int, /) -> Column:
        """The column of an output; KeyError for a name that is no output."""

    def __len__(self) -> int:
        """The number of outputs."""

    def __iter__(self) -> Iterator[str | int]:
        """The outputs' names, in order."""

    def __contains__(self, key: object, /) -> bool:
        """Whether `key` names an output."""

    @property
    def num_rows(self) -> int:
        """The rows run, across every record batch."""

    @property
    def failures(self) -> dict[int, BaseException]:
        """With ``errors="return"``, the exception of each failed row by its index; else empty."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """An ``arrow_array_stream`` capsule of one record batch of the columns."""

    def __arrow_c_schema__(self) -> object:
        """An ``arrow_schema`` capsule of the columns' struct."""

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """The ``arrow_schema`` and ``arrow_array`` capsules of the columns as one struct array."""

@final
class Column:
    """The values of one output of `Quarn.run_columns`, in Arrow's layout.

    Its type follows its values: int64, float64 (ints and floats mixed),
    bool, utf8 (large_utf8 past 2 GiB), or null. It reads as a sequence of
    Python values (None for a null), exports itself as an Arrow array, and
    a column of numbers or booleans without a null is a read-only buffer
    that ``numpy.asarray`` reads in place.
    """

    # No argument type fits, so a type checker flags every call of the class.
    def __new__(cls, no_constructor: NoReturn, /) -> Column:
        """Always raises TypeError: a column comes from `Quarn.run_columns`."""

    def __len__(self) -> int:
        """The number of rows."""

    def __getitem__(self, index: SupportsIndex, /) -> _Item:
        """The value of a row (negative indices count from the end); IndexError past either end."""

    def __iter__(self) -> Iterator[_Item]:
        """The values in order."""

    def to_pylist(self) -> list[_Item]:
        """The values as a new list."""

    @property
    def null_count(self) -> int:
        """How many values are null (every value of a failed row is)."""

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """The ``arrow_schema`` and ``arrow_array`` capsules of the column."""
