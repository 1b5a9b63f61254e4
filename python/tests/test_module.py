import re
import shutil
import subprocess
import sys
import weakref

import pytest

import velmo
from velmo import Expr, Quarn, Statement
from conftest import IS_PYPY, REPORT, assert_clean, lit, panic_message, run_isolated

CLASSES = [Quarn, Statement, Expr]


def test_module_contents():
    assert velmo.__name__ == "velmo"
    assert velmo.__all__ == ["Quarn", "Statement", "Expr", "Columns", "Column"]
    assert velmo.__doc__ == ""
    public = sorted(n for n in dir(velmo) if not n.startswith("_"))
    assert public == ["Column", "Columns", "Expr", "Quarn", "Statement"]
    # the loaders that pickled trees and machines call, found by pickle by name
    private = sorted(n for n in dir(velmo) if n.startswith("_") and not n.startswith("__"))
    assert private == ["_load_machine", "_load_tree"]
    assert all(getattr(velmo, n).__module__ == "velmo" for n in private)
    assert not hasattr(velmo, "PanicException")


def test_second_initialisation_returns_same_module():
    original = sys.modules["velmo"]
    try:
        del sys.modules["velmo"]
        import velmo as again

        if not IS_PYPY:  # PyPy wraps the returned object in a new module
            assert again is original
        assert again.Expr is Expr and again.Quarn is Quarn and again.Statement is Statement
        assert again.__all__ == ["Quarn", "Statement", "Expr", "Columns", "Column"]
    finally:
        sys.modules["velmo"] = original


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_identity(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__mro__ == (cls, object)
    assert getattr(velmo, cls.__name__) is cls


def test_class_docstrings():
    assert Quarn.__text_signature__ == "()"
    # PyPy drops a docstring that is empty once the signature is taken off
    assert Quarn.__doc__ == (None if IS_PYPY else "")
    assert Expr.__doc__ is None
    assert Statement.__doc__ is None


def test_builder_methods_are_static():
    e = lit(1)
    other = e.literal(2)  # called on an instance, ignores it
    assert type(other) is Expr and other is not e
    q = Quarn()
    q.run([Statement.let("a", e), Statement.let("b", other)])
    assert (q.get("a"), q.get("b")) == (1, 2)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_not_subclassable(cls):
    with pytest.raises(TypeError) as info:
        type("Sub", (cls,), {})
    assert str(info.value) == f"type 'builtins.{cls.__name__}' is not an acceptable base type"


@pytest.mark.parametrize(
    "make", [Quarn, lambda: lit(1), lambda: Statement.let("x", lit(1))], ids=["Quarn", "Expr", "Statement"]
)
def test_instances_have_no_attributes(make):
    obj = make()
    name = type(obj).__name__
    # CPython 3.13 adds why the attribute cannot be made
    why = " and no __dict__ for setting new attributes" if sys.version_info >= (3, 13) and not IS_PYPY else ""
    with pytest.raises(AttributeError, match=f"^'builtins.{name}' object has no attribute 'extra'{why}$"):
        obj.extra = 1
    with pytest.raises(AttributeError):
        del obj.extra
    if not IS_PYPY:  # every PyPy object has a (here empty) dict and takes weak references
        with pytest.raises(AttributeError):
            obj.__dict__
        with pytest.raises(TypeError):
            weakref.ref(obj)


def test_instances_compare_and_hash_by_identity():
    a, b = lit(1), lit(1)
    assert a == a and a != b
    assert len({a, b, a}) == 2
    assert re.fullmatch(r"<builtins\.Expr object at 0x[0-9a-fA-F]+>", repr(a))
    s = Statement.let("x", a)
    assert re.fullmatch(r"<builtins\.Statement object at 0x[0-9a-fA-F]+>", repr(s))


@pytest.mark.parametrize("cls", [Expr, Statement], ids=lambda c: c.__name__)
@pytest.mark.parametrize("args,kwargs", [((), {}), ((1,), {}), ((1, "x"), {"a": 2})])
def test_builder_classes_have_no_constructor(cls, args, kwargs):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == f"No constructor defined for {cls.__name__}"
    assert type(info.value) is TypeError


def _not_subtype(cls, sub):
    return f"builtins.{cls}.__new__({sub}): {sub} is not a subtype of builtins.{cls}"


# The texts CPython gives; PyPy checks __new__'s first argument the same way.
NEW_CALLS = [
    ("Quarn.__new__(Expr)", _not_subtype("Quarn", "builtins.Expr")),
    ("Quarn.__new__(Statement, 1)", _not_subtype("Quarn", "builtins.Statement")),
    ("Quarn.__new__(int)", _not_subtype("Quarn", "int")),
    ("Quarn.__new__(object)", _not_subtype("Quarn", "object")),
    ("Expr.__new__(Quarn)", _not_subtype("Expr", "builtins.Quarn")),
    ("Statement.__new__(Quarn)", _not_subtype("Statement", "builtins.Quarn")),
    ("Quarn.__new__(1)", "builtins.Quarn.__new__(X): X is not a type object (int)"),
    ("Quarn.__new__()", "builtins.Quarn.__new__(): not enough arguments"),
    ("Expr.__new__()", "builtins.Expr.__new__(): not enough arguments"),
    ("Expr.__new__(Expr)", "No constructor defined for Expr"),
    ("Statement.__new__(Statement)", "No constructor defined for Statement"),
    ("Quarn.__new__(Quarn, 1)", "Quarn.__new__() takes 0 positional arguments but 1 was given"),
    ("type(Quarn.__new__(Quarn)).__name__", "Quarn"),
]


def test_new_checks_the_class_it_makes():
    # hostile calls: run apart, a crash must fail only this test
    proc = run_isolated(
        f"""
        for call in {[call for call, _ in NEW_CALLS]!r}:
            try:
                print(eval(call))
            except TypeError as e:
                print(e)
        """
    )
    assert assert_clean(proc) and proc.stdout.splitlines() == [text for _, text in NEW_CALLS]


def test_object_new_makes_no_usable_instance():
    # CPython refuses object.__new__(cls); PyPy makes the instance without its
    # value, and the module refuses it with the same text wherever it is used.
    proc = run_isolated(
        """
        import gc
        def attempt(make):
            try:
                return make()
            except TypeError as e:
                print(e)
        q = attempt(lambda: object.__new__(Quarn))
        e = attempt(lambda: object.__new__(Expr))
        s = attempt(lambda: object.__new__(Statement))
        if q is not None:
            for use in (lambda: q.get("x"), lambda: q.run([]), lambda: repr(q), lambda: Expr.not_(e),
                        lambda: Quarn().run([Statement.let("a", Expr.literal(1)), s])):
                attempt(use)
        del q, e, s
        gc.collect()
        print("done")
        """
    )
    refusal = "object.__new__(builtins.{0}) is not safe, use builtins.{0}.__new__()"
    if IS_PYPY:
        expected = [refusal.format("Quarn")] * 3 + [
            "argument 'item': " + refusal.format("Expr"),
            "argument 'stmts': " + refusal.format("Statement"),
        ]
    else:
        expected = [refusal.format(name) for name in ("Quarn", "Expr", "Statement")]
    assert assert_clean(proc) and proc.stdout.splitlines() == expected + ["done"]


def test_panic_exception_class(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__doc__ == (
        "The exception raised when native code called from Python fails.\n\n"
        "Like SystemExit, it derives from BaseException rather than Exception, so that it normally travels all "
        "the way up the stack and ends the interpreter instead of being swallowed by a handler for Exception."
    )
    # created once, the same class on every failure
    with pytest.raises(BaseException) as info:
        Quarn().get(3)
    assert type(info.value) is panic_type
    assert info.value.args == ("Value cannot be found: U(3)",)


def test_panic_is_not_caught_by_exception_handler():
    caught = None
    try:
        try:
            Quarn().get("x")
        except Exception:  # must not catch it
            caught = "Exception"
    except BaseException as e:
        caught = type(e).__name__
    assert caught == "PanicException"


@pytest.mark.parametrize(
    "fail,message",
    [
        (lambda: Quarn().get("nowhere"), 'Value cannot be found: S("nowhere")'),
        (lambda: Quarn().run([Statement.let("x", Expr.not_(lit(1)))]),
         "The not expression must be used on a boolean value"),
        (lambda: Quarn().get("tab\there\n"), 'Value cannot be found: S("tab\\there\\n")'),
    ],
    ids=["get", "run", "escaped"],
)
def test_every_fatal_error_writes_one_report_line(capfd, fail, message):
    capfd.readouterr()
    assert panic_message(fail) == message
    captured = capfd.readouterr()
    assert captured.out == ""
    lines = captured.err.splitlines()
    assert len(lines) == 1, captured.err
    match = REPORT.fullmatch(lines[0])
    assert match, lines[0]
    assert int(match.group(2)) > 0
    assert match.group(3) == message


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", velmo.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_velmo"]
