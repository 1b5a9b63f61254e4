"""Rules over a table: Quarn.run_columns reads the columns of an Arrow table,
a mapping of buffers or sequences, and writes each output into a column.

pyarrow, polars, pandas, DuckDB and numpy are test tools of the main
CPython (numpy of PyPy too); elsewhere the tests that need them skip. The
test command sets VELMO_TABLES_REQUIRED=1 for the main CPython, where a
missing one fails instead.
"""
import array
import ctypes
import gc
import importlib
import os
import re

import pytest

import velmo
from velmo import Expr, Quarn, Statement
from conftest import IS_PYPY, REPORT, interrupt_child, let, lit, op, ident

REQUIRED = os.environ.get("VELMO_TABLES_REQUIRED") == "1"


def library(name):
    if REQUIRED:
        return importlib.import_module(name)
    return pytest.importorskip(name, reason=f"{name} is a test tool of the main CPython (tools/requirements-main.txt)")


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        if REQUIRED:
            raise
        return None


pa = optional("pyarrow")
np = optional("numpy")
needs_pyarrow = pytest.mark.skipif(pa is None, reason="pyarrow is a test tool of the main CPython")
needs_numpy = pytest.mark.skipif(np is None, reason="numpy is not installed")

DOUBLE = [let("y", op(ident("x"), "*", lit(2)))]
ECHO = [let("y", ident("x"))]


def notes(e):
    return getattr(e, "__notes__", None)


def run(table, program=ECHO, outputs=("y",), **kwargs):
    return Quarn().run_columns(program, table, outputs=list(outputs), **kwargs)


def ys(table, program=ECHO, **kwargs):
    return run(table, program, **kwargs)["y"].to_pylist()


# ------------------------------------------------------------- input forms

@pytest.mark.parametrize("column", [
    [1, 2, 3],
    (1, 2, 3),
    range(1, 4),
    array.array("q", [1, 2, 3]),
    memoryview(array.array("i", [1, 0, 2, 0, 3])[::1])[::2],
    memoryview(array.array("B", [1, 2, 3])),
], ids=["list", "tuple", "range", "array", "strided memoryview", "bytes memoryview"])
def test_sequences_and_buffers_bind_as_literals_do(column):
    assert ys({"x": column}, DOUBLE) == [2, 4, 6]


def test_items_convert_as_literals_and_texts_repeat():
    assert ys({"x": [2**70, 1.5, 3]}) == [float(2**70), 1.5, 3.0]
    assert ys({"x": [None, True, False]}) == [None, True, False]
    texts = ys({"x": ["gold", "gold", "é" * 300, "é" * 300]})
    assert texts == ["gold", "gold", "é" * 300, "é" * 300]
    result = run({"x": ["a", [1, "a"], object()]}, errors="return")
    assert result["y"].to_pylist() == ["a", None, None] and sorted(result.failures) == [1, 2]
    assert str(result.failures[2]).startswith("column 'x': failed to extract enum PyValue")
    assert notes(result.failures[2]) == ["in row 2"]


def test_a_sequence_is_read_as_it_was_when_the_call_began():
    column = [1, 2, 3]
    q = Quarn()
    q.run([Statement.fn("grow", lambda x: column.append(x) or x)])
    result = q.run_columns([let("y", Expr.call("grow", ident("x")))], {"x": column}, outputs=["y"])
    assert result["y"].to_pylist() == [1, 2, 3] and column == [1, 2, 3, 1, 2, 3]


@needs_numpy
@pytest.mark.parametrize("dtype", ["?", "i1", "u1", "i2", "u2", "<i4", ">i4", "u4", "i8", ">u8", "f2", "f4", ">f8"])
def test_numpy_arrays_are_read_in_place_with_any_stride(dtype):
    values = np.array([0, 1, 0, 7, 1, 3], dtype=dtype)[::-2]
    got = ys({"x": values})
    assert got == [v.item() for v in values] and all(type(g) is type(v.item()) for g, v in zip(got, values))


@needs_numpy
def test_uint64_past_int64_and_unsupported_buffers():
    assert ys({"x": np.array([2**64 - 1, 5], dtype="u8")}) == [float(2**64 - 1), 5]
    assert ys({"x": np.array(["a", "bc"])}) == ["a", "bc"]  # not numbers: read as a sequence
    with pytest.raises(TypeError, match=r"^column 'x' is a buffer of 2 dimensions; a column has one$"):
        run({"x": np.zeros((2, 2))})


@needs_pyarrow
def test_every_arrow_form_of_a_table():
    table = pa.table({"x": [1, 2, 3]})
    reader = lambda: pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=2))
    chunked = pa.chunked_array([[1], [2, 3]])
    for form in [table, table.to_batches()[0], reader(), {"x": chunked}, {"x": pa.array([1, 2, 3])}]:
        assert ys(form, DOUBLE) == [2, 4, 6]


ARROW_TYPES = [
    ("bool_", [True, None, False], None),
    ("int8", [-128, None, 127], None), ("uint8", [255, 0, None], None), ("int16", [-3, 4, None], None),
    ("uint16", [65535, 1, None], None), ("int32", [-2**31, 0, None], None), ("uint32", [2**32 - 1, 0, None], None),
    ("int64", [-2**63, 2**63 - 1, None], None), ("uint64", [2**64 - 1, None], [float(2**64 - 1), None]),
    ("float16", [0.5, -2.0, None], None), ("float32", [0.25, 2.0**100, None], None),
    ("float64", [0.1, float("inf"), None], None), ("utf8", ["a", None, "é"], None),
    ("large_utf8", ["a", "", None], None), ("string_view", ["a" * 20, None, "b"], None),
    ("null", [None, None, None], None),
]


@needs_pyarrow
@pytest.mark.parametrize("name, values, expected", ARROW_TYPES, ids=[t[0] for t in ARROW_TYPES])
def test_arrow_types_bind_as_their_python_values(name, values, expected):
    column = pa.array(values, type=getattr(pa, name)())
    assert ys({"x": column}) == (expected if expected is not None else values)


@needs_pyarrow
def test_dictionaries_and_lists():
    codes = pa.array(["b", "a", None, "b", "a"]).dictionary_encode()
    assert ys({"x": codes}) == ["b", "a", None, "b", "a"]
    items = pa.array([[1, 2], None, [], [3]], type=pa.large_list(pa.int32()))
    nested = pa.array([[["a"], None], [[]]], type=pa.list_(pa.list_(pa.string())))
    program = [let("y", Expr.vector([ident("x")]))]
    result = Quarn().run_columns([let("n", Expr.equals(ident("x"), lit([1, 2])))], {"x": items}, outputs=["n"],
                                 errors="return")
    assert result["n"].to_pylist() == [True, False, False, False]
    assert ys({"x": nested}, program, errors="return") == [None, None]
    assert run({"x": nested}, [let("y", Expr.equals(ident("x"), lit([["a"], None])))])["y"].to_pylist()[0] is True


@needs_pyarrow
def test_arrow_types_that_do_not_bind_are_refused_before_any_row():
    import datetime
    import decimal
    q = Quarn()
    cases = [(pa.array([datetime.date(2020, 1, 1)]), "date32"), (pa.array([b"a"]), "binary"),
             (pa.array([decimal.Decimal("1.5")], pa.decimal128(5, 2)), "decimal128(5, 2)"),
             (pa.array([{"a": 1}]), "struct"), (pa.array([[datetime.date(2020, 1, 1)]]), "list<date32>")]
    for column, type_name in cases:
        with pytest.raises(TypeError) as info:
            q.run_columns(ECHO, {"x": [1], "when": column}, outputs=["y"])
        assert str(info.value) == f"column 'when' has type {type_name}, which does not bind to Quarn values"
        # an unbound column of such a type is never read
        assert q.run_columns(ECHO, pa.table({"x": [1], "when": column}), inputs=["x"], outputs=["y"]).num_rows == 1
    assert len(q) == 2  # x and y, from the runs that did run


@needs_pyarrow
def test_a_text_that_is_not_utf8_fails_its_row():
    bad = pa.Array.from_buffers(pa.utf8(), 2, [None, pa.py_buffer(b"\x00\x00\x00\x00\x01\x00\x00\x00\x02\x00\x00\x00"),
                                              pa.py_buffer(b"a\xff")])
    result = run({"x": bad}, errors="return")
    assert result["y"].to_pylist() == ["a", None]
    assert type(result.failures[1]) is UnicodeDecodeError and notes(result.failures[1]) == ["in row 1"]


# --------------------------------------------------------- checks up front

def test_names_lengths_and_forms_are_checked_before_any_row():
    q = Quarn()
    with pytest.raises(KeyError) as info:
        q.run_columns(ECHO, {"x": [1]}, inputs=["x", "nope"], outputs=["y"])
    assert info.value.args == ("nope",)
    with pytest.raises(ValueError, match=r"^column 'b' has 2 rows where column 'a' has 3$"):
        q.run_columns(ECHO, {"a": [1, 2, 3], "b": [1, 2]}, outputs=["y"])
    with pytest.raises(TypeError, match=r"^column 'x': 'int' object cannot be converted to 'Sequence'$"):
        q.run_columns(ECHO, {"x": 5}, outputs=["y"])
    with pytest.raises(TypeError, match=r"^argument 'columns': 'list' object is not a table"):
        q.run_columns(ECHO, [[1]], outputs=["y"])
    with pytest.raises(TypeError, match=r"^Quarn.run_columns\(\) missing 1 required keyword-only argument: 'outputs'$"):
        q.run_columns(ECHO, {"x": [1]})
    with pytest.raises(ValueError, match=r"^output 'y' is named twice$"):
        q.run_columns(ECHO, {"x": [1]}, outputs=["y", "y"])
    with pytest.raises(ValueError, match=r"^errors must be 'raise' or 'return'$"):
        q.run_columns(ECHO, {"x": [1]}, outputs=["y"], errors="ignore")
    assert len(q) == 0


def test_inputs_default_to_every_column_and_names_may_be_numbers():
    result = run({"x": [1, 2], 7: ["a", "b"]}, [let("y", ident(7))], outputs=("y", "x"))
    assert result["y"].to_pylist() == ["a", "b"] and result["x"].to_pylist() == [1, 2]
    assert run({"a": [1, 2, 3]}, [let("y", lit(0))], inputs=[]).num_rows == 3


# -------------------------------------------------------------- the result

def test_columns_is_a_read_only_mapping_in_the_order_of_outputs():
    from collections.abc import Mapping
    result = run({"x": [1, 2]}, [let("b", lit("t")), let("a", lit(1.5))], outputs=("b", "a", "x"))
    assert isinstance(result, Mapping) and type(result) is velmo.Columns
    assert list(result) == ["b", "a", "x"] and list(result.keys()) == ["b", "a", "x"]
    assert len(result) == 3 and "a" in result and "y" not in result and result.num_rows == 2
    assert result.get("y") is None and [type(c) for c in result.values()] == [velmo.Column] * 3
    assert dict(result)["x"].to_pylist() == [1, 2] and result.failures == {}
    with pytest.raises(KeyError):
        result["y"]
    for cls in (velmo.Columns, velmo.Column):
        with pytest.raises(TypeError, match="^No constructor defined for Column"):
            cls()


@pytest.mark.parametrize("cls", ["Columns", "Column"])
def test_an_instance_made_around_its_constructor_is_refused(cls):
    cls = getattr(velmo, cls)
    message = rf"^object.__new__\(builtins.{cls.__name__}\) is not safe"
    try:
        made = object.__new__(cls)
    except TypeError as e:  # CPython refuses to make it
        assert re.match(message, str(e))
        return
    for use in (len, iter, lambda o: o[0], lambda o: o.__arrow_c_array__()):
        with pytest.raises(TypeError, match=message):
            use(made)
    del made
    gc.collect()


def test_a_column_reads_as_a_sequence_of_python_values():
    column = run({"x": [1, None, 3]})["y"]
    assert (len(column), column[0], column[-1], column[1], column.null_count) == (3, 1, 3, None, 1)
    assert list(column) == [1, None, 3] == column.to_pylist()
    with pytest.raises(IndexError, match="^Column index out of range$"):
        column[3]
    with pytest.raises(IndexError):
        column[-4]


@pytest.mark.parametrize("values, kind, expected", [
    ([1, 2], "int64", [1, 2]),
    ([1, 2.5, None], "float64", [1.0, 2.5, None]),
    ([2**53 + 1, 0.5], "float64", [float(2**53), 0.5]),
    ([True, None], "bool", [True, None]),
    (["a", None, "b"], "utf8", ["a", None, "b"]),
    ([None, None], "null", [None, None]),
    ([], "null", []),
])
def test_a_column_type_follows_its_values(values, kind, expected):
    column = run({"x": values})["y"]
    got = column.to_pylist()
    assert got == expected and [type(v) for v in got] == [type(v) for v in expected]
    if pa is not None:
        names = {"int64": pa.int64(), "float64": pa.float64(), "bool": pa.bool_(), "utf8": pa.utf8(), "null": pa.null()}
        assert pa.array(column).type == names[kind]


@pytest.mark.parametrize("values, message", [
    ([1, "a"], "output 'y': row 1 gives a String, but its column holds Number values"),
    (["a", True], "output 'y': row 1 gives a Boolean, but its column holds String values"),
    ([None, [1]], "output 'y': row 1 gives a Vector, which no column holds"),
])
def test_a_value_the_column_cannot_hold_fails_its_row(values, message, capfd):
    result = run({"x": values}, errors="return")
    assert result["y"].to_pylist() == [values[0], None]
    error = result.failures[1]
    assert type(error) is TypeError and str(error) == message and notes(error) == ["in row 1"]
    with pytest.raises(TypeError) as info:
        run({"x": values})
    assert str(info.value) == message and notes(info.value) == ["in row 1"]
    assert capfd.readouterr().err == ""


def test_a_function_output_fails_its_row():
    q = Quarn()
    q.run([Statement.fn("f", lambda v: v)])
    result = q.run_columns([], {"x": [1]}, outputs=["f"], errors="return")
    assert str(result.failures[0]) == "output 'f': row 0 gives a Function, which no column holds"


@needs_numpy
def test_numbers_are_a_buffer_numpy_reads_in_place():
    result = run({"x": [1.5, 2.5]}, [let("y", ident("x")), let("b", Expr.greater_than(ident("x"), lit(2)))],
                 outputs=("y", "b"))
    values, flags = np.asarray(result["y"]), np.asarray(result["b"])
    assert values.tolist() == [1.5, 2.5] and not values.flags.owndata and not values.flags.writeable
    assert flags.dtype == np.bool_ and flags.tolist() == [False, True]
    assert memoryview(result["y"]).format == "d"
    with pytest.raises(BufferError):
        memoryview(run({"x": [1, None]})["y"])
    del result
    gc.collect()
    assert values.tolist() == [1.5, 2.5]  # the array keeps the column's memory


# ------------------------------------------------------------------ failures

def batched(rows, size):
    schema = pa.schema([("x", pa.int64())])
    batches = [pa.record_batch([pa.array(rows[i:i + size], pa.int64())], schema=schema) for i in range(0, len(rows), size)]
    return pa.RecordBatchReader.from_batches(schema, batches)


@needs_pyarrow
def test_failures_across_record_batches_carry_their_row(capfd):
    program = [let("y", op(lit(10), "/", ident("x")))]
    result = run(batched([1, 2, 0, 5, 0], 2), program, errors="return")
    assert result["y"].to_pylist() == [10, 5, None, 2, None] and result.num_rows == 5
    assert sorted(result.failures) == [2, 4]
    assert all(notes(e) == ["at statement 0", f"in row {row}"] for row, e in result.failures.items())
    assert str(result.failures[4]) == "attempt to divide by zero" and capfd.readouterr().err == ""
    q = Quarn()
    with pytest.raises(BaseException) as info:
        q.run_columns(program, batched([1, 2, 0, 5, 0], 2), outputs=["y"])
    assert type(info.value).__name__ == "PanicException" and notes(info.value) == ["at statement 0", "in row 2"]
    assert q.get("y") == 5 and len([l for l in capfd.readouterr().err.splitlines() if REPORT.match(l)]) == 1


@pytest.mark.parametrize("limit, fits", [(8, True), (7, False)])
def test_each_row_has_one_operation_budget_the_binding_included(limit, fits):
    q = Quarn(max_operations=limit)
    result = q.run_columns(DOUBLE, {"x": list(range(100))}, outputs=["y"], errors="return")  # 2 + 4 + 2
    program = DOUBLE + [let("z", lit(1))]
    result = q.run_columns(program, {"x": list(range(100))}, outputs=["y"], errors="return")
    if fits:
        assert result["y"].to_pylist() == [2 * i for i in range(100)]
    else:
        assert len(result.failures) == 100
        assert str(result.failures[99]) == f"Operation limit exceeded: max_operations={limit}"


def test_binding_counts_under_the_size_limit():
    q = Quarn(max_value_size=3)
    result = q.run_columns(ECHO, {"x": ["abc", "abcd"]}, outputs=["y"], errors="return")
    assert result["y"].to_pylist() == ["abc", None]
    assert str(result.failures[1]) == "Value size limit exceeded: max_value_size=3"


def test_a_bound_function_may_run_columns_on_the_same_machine():
    q = Quarn()

    def inner(x):
        return q.run_columns(DOUBLE, {"x": [x, x + 1]}, outputs=["y"])["y"][1] + q.get("x")

    q.run([Statement.fn("inner", inner)])
    result = q.run_columns([let("z", Expr.call("inner", ident("x")))], {"x": [1, 10]}, outputs=["z"])
    assert result["z"].to_pylist() == [6, 33]  # the inner run bound x last


@pytest.mark.parametrize("errors", ["raise", "return"])
def test_ctrl_c_stops_a_long_run(errors):
    out = interrupt_child(f"""
        from velmo import Expr, Quarn, Statement
        double = [Statement.let("y", Expr.binary_op(Expr.ident("x"), "*", Expr.literal(2)))]
        q = Quarn()
        column = memoryview(bytearray(10**8))
        print("ready", flush=True)
        try:
            while True:
                q.run_columns(double, {{"x": column}}, outputs=["y"], errors="{errors}")
        except KeyboardInterrupt as e:
            print(e.__notes__[0].startswith("in row "), q.get("y"), flush=True)
    """)
    assert out == ["True", "0"]


# ------------------------------------------------------- hostile producers
# A producer written here with ctypes hands over structs of the C Data
# Interface as it likes; every release callback must be called exactly once.

c = ctypes


class ArrowSchema(c.Structure):
    pass


class ArrowArray(c.Structure):
    pass


SCHEMA_RELEASE = c.CFUNCTYPE(None, c.POINTER(ArrowSchema))
ARRAY_RELEASE = c.CFUNCTYPE(None, c.POINTER(ArrowArray))
ArrowSchema._fields_ = [("format", c.c_char_p), ("name", c.c_char_p), ("metadata", c.c_char_p), ("flags", c.c_int64),
                        ("n_children", c.c_int64), ("children", c.POINTER(c.POINTER(ArrowSchema))),
                        ("dictionary", c.POINTER(ArrowSchema)), ("release", SCHEMA_RELEASE), ("private_data", c.c_void_p)]
ArrowArray._fields_ = [("length", c.c_int64), ("null_count", c.c_int64), ("offset", c.c_int64), ("n_buffers", c.c_int64),
                       ("n_children", c.c_int64), ("buffers", c.POINTER(c.c_void_p)),
                       ("children", c.POINTER(c.POINTER(ArrowArray))), ("dictionary", c.POINTER(ArrowArray)),
                       ("release", ARRAY_RELEASE), ("private_data", c.c_void_p)]


class ArrowArrayStream(c.Structure):
    _fields_ = [("get_schema", c.CFUNCTYPE(c.c_int, c.c_void_p, c.POINTER(ArrowSchema))),
                ("get_next", c.CFUNCTYPE(c.c_int, c.c_void_p, c.POINTER(ArrowArray))),
                ("get_last_error", c.CFUNCTYPE(c.c_void_p, c.c_void_p)), ("release", c.CFUNCTYPE(None, c.c_void_p)),
                ("private_data", c.c_void_p)]


NAMES = {name: name.encode() for name in ("arrow_schema", "arrow_array", "arrow_array_stream")}
has_capsules = hasattr(c, "pythonapi") and not IS_PYPY
needs_capsules = pytest.mark.skipif(not has_capsules, reason="ctypes.pythonapi makes the capsules (CPython)")


def capsule(struct, name):
    new = c.pythonapi.PyCapsule_New
    new.restype, new.argtypes = c.py_object, [c.c_void_p, c.c_char_p, c.c_void_p]
    return new(c.addressof(struct), NAMES[name], None)


class Producer:
    """A column of one Arrow array, its buffers given as bytes (None: a null
    pointer); counts the calls of each release callback."""

    def __init__(self, fmt, length, buffers, n_buffers=None, offset=0, null_count=0, children=(), dictionary=None):
        self.released = []
        self.keep = []
        self.schema = self.make_schema(fmt, children, dictionary)
        self.array = self.make_array(length, buffers, n_buffers, offset, null_count, children, dictionary)

    def make_schema(self, fmt, children=(), dictionary=None):
        schema = ArrowSchema(format=fmt.encode(), name=b"x")
        kids = [self.make_schema(*child[:1]) for child in children]
        if kids:
            schema.n_children, schema.children = len(kids), (c.POINTER(ArrowSchema) * len(kids))(*map(c.pointer, kids))
        if dictionary:
            schema.dictionary = c.pointer(self.make_schema(dictionary[0]))
        schema.release = SCHEMA_RELEASE(self.release_schema)
        self.keep += [schema, kids]
        return schema

    def make_array(self, length, buffers, n_buffers=None, offset=0, null_count=0, children=(), dictionary=None):
        held = [None if b is None else c.create_string_buffer(b, len(b) + 8) for b in buffers]
        pointers = (c.c_void_p * max(1, len(held)))(*[None if b is None else c.addressof(b) for b in held])
        array = ArrowArray(length=length, null_count=null_count, offset=offset,
                           n_buffers=len(held) if n_buffers is None else n_buffers, buffers=pointers)
        kids = [self.make_array(*child[1:]) for child in children]
        if kids:
            array.n_children, array.children = len(kids), (c.POINTER(ArrowArray) * len(kids))(*map(c.pointer, kids))
        if dictionary:
            array.dictionary = c.pointer(self.make_array(*dictionary[1:]))
        array.release = ARRAY_RELEASE(self.release_array)
        self.keep += [held, pointers, array, kids]
        return array

    def release_schema(self, schema):
        self.released.append("schema")
        schema.contents.release = SCHEMA_RELEASE()

    def release_array(self, array):
        self.released.append("array")
        array.contents.release = ARRAY_RELEASE()

    def __arrow_c_array__(self, requested_schema=None):
        return capsule(self.schema, "arrow_schema"), capsule(self.array, "arrow_array")


def ints(*values, size=4):
    return b"".join(v.to_bytes(size, "little", signed=True) for v in values)


HOSTILE = [
    (("l", -1, [None, ints(1, size=8)]), "the array has a negative length, -1"),
    (("l", 2**62, [None, ints(1, size=8)]), "the array has a length of 4611686018427387904 past an offset of 0, more than memory holds"),
    (("l", 1, [None, ints(1, size=8)], None, -3), "the array has a negative offset, -3"),
    (("l", 1, [None, None]), "the array has a null buffer 1 where its values are"),
    (("l", 2, [None, ints(1, 2, size=8)], None, 0, 1), "the array has 1 nulls and no validity buffer"),
    (("u", 1, [None, ints(0, 1)]), "the array has 2 buffers where its type utf8 has 3"),
    (("u", 2, [None, ints(0, 3, 1), b"abc"]), "the array has offsets that decrease, at 2: 1 after 3"),
    (("u", 1, [None, ints(-1, 1), b"abc"]), "the array has a negative offset, -1"),
    (("+l", 1, [None, ints(0, 5)], None, 0, 0, [("l", 2, [None, ints(1, 2, size=8)])]),
     "the array has an offset of 5 past the 2 values it points into"),
    (("c", 2, [None, bytes([0, 3])], None, 0, 0, (), ("u", 2, [None, ints(0, 1, 2), b"ab"])),
     "the array has a dictionary index of 3 where the dictionary has 2 values"),
    (("l", 1, [None, ints(1, size=8)], 3), "the array has 3 buffers where its type int64 has 2"),
]


@needs_capsules
@pytest.mark.parametrize("spec, message", HOSTILE, ids=[m for _, m in HOSTILE])
def test_a_producer_that_breaks_the_rules_is_refused_and_released_once(spec, message):
    producer = Producer(*spec)
    with pytest.raises(ValueError) as info:
        run({"x": producer})
    assert str(info.value) == f"invalid Arrow data in column 'x': {message}"
    gc.collect()
    assert sorted(producer.released) == ["array", "schema"]


@needs_capsules
def test_a_valid_producer_is_read_and_released_once():
    producer = Producer("u", 3, [bytes([0b101]), ints(0, 1, 1, 3), b"abc"], null_count=1)
    assert ys({"x": producer}) == ["a", None, "bc"]
    gc.collect()
    assert sorted(producer.released) == ["array", "schema"]


class Stream:
    """A stream of int64 batches of one column, whose get_next fails after
    `good` batches with `message`."""

    def __init__(self, good, message):
        self.batches = [Producer("+s", 2, [None], children=[("l", 2, [None, ints(2 * i, 2 * i + 1, size=8)])])
                        for i in range(good)]
        self.sent = []
        self.schema_producer = Producer("+s", 0, [None], children=[("l", 0, [None, b""])])
        self.message, self.released = c.create_string_buffer(message), []
        kinds = [t for _, t in ArrowArrayStream._fields_]
        self.stream = ArrowArrayStream(get_schema=kinds[0](self.get_schema), get_next=kinds[1](self.get_next),
                                       get_last_error=kinds[2](lambda _: c.addressof(self.message)),
                                       release=kinds[3](self.release))

    def get_schema(self, _, out):
        c.memmove(out, c.addressof(self.schema_producer.schema), c.sizeof(ArrowSchema))
        return 0

    def get_next(self, _, out):
        if not self.batches:
            return 5  # EIO
        self.sent.append(self.batches.pop(0))
        c.memmove(out, c.addressof(self.sent[-1].array), c.sizeof(ArrowArray))
        return 0

    def release(self, stream):
        self.released.append("stream")
        c.cast(stream, c.POINTER(ArrowArrayStream)).contents.release = ArrowArrayStream._fields_[3][1]()

    def __arrow_c_stream__(self, requested_schema=None):
        return capsule(self.stream, "arrow_array_stream")


@needs_capsules
def test_a_stream_that_fails_part_way_raises_its_message_after_the_rows_before():
    stream = Stream(2, b"the disk went away")
    q = Quarn()
    with pytest.raises(OSError) as info:
        q.run_columns(ECHO, stream, outputs=["y"], errors="return")
    assert str(info.value) == "the disk went away" and notes(info.value) == ["in row 4"]
    assert q.get("y") == 3
    gc.collect()
    assert stream.released == ["stream"] and stream.schema_producer.released == ["schema"]
    assert [p.released for p in stream.sent] == [["array"], ["array"]]


# ---------------------------------------------------------------- consumers

def test_other_libraries_read_the_result_without_copying():
    pa, pl, pd, duckdb = (library(name) for name in ("pyarrow", "polars", "pandas", "duckdb"))
    program = [let("y", op(ident("x"), "*", lit(2))), let("s", lit("t"))]
    result = run({"x": [1, 2, None]}, program, outputs=("y", "s"), errors="return")
    expected = {"y": [2, 4, None], "s": ["t", "t", None]}
    table = pa.table(result)
    assert table.to_pydict() == expected and table.schema.types == [pa.int64(), pa.utf8()]
    assert pa.record_batch(result).to_pydict() == expected
    assert pl.DataFrame(result).to_dict(as_series=False) == expected
    assert pd.DataFrame.from_arrow(result)["s"].tolist()[:2] == ["t", "t"]
    assert duckdb.sql("select y, s from result order by y").fetchall() == [(2, "t"), (4, "t"), (None, None)]
    assert pl.Series(result["y"]).to_list() == [2, 4, None]
    del result
    gc.collect()
    assert table.to_pydict() == expected  # the table keeps the columns' memory


@needs_pyarrow
def test_plain_columns_are_read_from_their_offset_and_texts_of_every_short_length_go_round():
    n = 60
    texts = ["é" * (i % 11) + "x" * (i % 2) for i in range(n)]  # 0 to 21 bytes
    table = pa.table({"i": pa.array(range(n), pa.int64()), "f": [i / 4 for i in range(n)], "t": texts})
    program = [let("y", op(ident("i"), "+", ident("f"))), let("u", ident("t"))]
    back = pa.table(Quarn().run_columns(program, table.slice(7, 40), outputs=["y", "u"]))
    assert back.column("y").to_pylist() == [i + i / 4 for i in range(7, 47)]
    assert back.column("u").to_pylist() == texts[7:47]


@needs_numpy
def test_int64_buffers_are_read_in_place_with_any_stride():
    assert ys({"x": np.arange(60, dtype="i8")[::-3]}) == list(range(59, -1, -3))


@needs_pyarrow
def test_a_null_row_of_a_struct_binds_every_input_to_null():
    struct = pa.StructArray.from_arrays([pa.array([1, 2, 3]), pa.array(["a", "b", "c"])], names=["i", "t"],
                                        mask=pa.array([False, True, False]))
    got = Quarn().run_columns([let("y", ident("i")), let("u", ident("t"))], struct, outputs=["y", "u"])
    assert got["y"].to_pylist() == [1, None, 3] and got["u"].to_pylist() == ["a", None, "c"]


@needs_pyarrow
def test_a_long_table_goes_round_and_keeps_its_values():
    n = 100_000
    table = pa.table({"x": pa.array(range(n)), "t": pa.array(["a", "bb", "ccc"] * (n // 3) + ["a"] * (n % 3)).dictionary_encode()})
    program = [let("y", op(ident("x"), "+", lit(0.5))), let("u", op(ident("t"), "+", lit("!")))]
    result = Quarn().run_columns(program, table, outputs=["y", "u"])
    back = pa.table(result)
    assert back.column("y").to_pylist() == [i + 0.5 for i in range(n)]
    assert back.column("u").to_pylist() == [t + "!" for t in table.column("t").to_pylist()]
