"""Inputs that crashed the interpreter or misbehaved, each found by reading
the module or by the fuzzers (tools/fuzz.sh), minimized and run in a fresh
interpreter so that a crash fails one test instead of the session.

Faults that lie in the interpreter itself, where the module cannot avoid
them, are marked xfail(strict=True) on that host, so that a fix of the
interpreter shows up as an unexpected pass.
"""

import pytest

from conftest import IS_PYPY, assert_clean, run_isolated

# PyPy's C-API layer ends the process while it makes the C object of these
# arguments, before the module's code runs.
PYPY_CRASH = pytest.mark.xfail(IS_PYPY, strict=True, reason="crashes inside PyPy's C API")


def run_clean(code):
    return assert_clean(run_isolated(code))


# Objects made around their constructor. CPython refuses object.__new__ and
# a __new__ of another class; PyPy makes the object with an unbuilt value.
AROUND_CONSTRUCTOR = [
    pytest.param("object.__new__(Quarn)", "q.get('x')", id="object-new-quarn-get"),
    pytest.param("object.__new__(Quarn)", "q.run([Statement.let('a', Expr.literal(1))]); q.get('a')",
                 id="object-new-quarn-run"),
    pytest.param("Quarn.__new__(Expr)", "del q; import gc; gc.collect()", id="quarn-new-expr"),
    pytest.param("Quarn.__new__(Statement)", "del q; import gc; gc.collect()", id="quarn-new-statement"),
    pytest.param("object.__new__(Expr)",
                 "m = Quarn(); m.run([Statement.let('a', Expr.not_(q))]); Expr.vector([q, q])",
                 id="object-new-expr"),
    pytest.param("object.__new__(Statement)", "m = Quarn(); m.run([q, q]); Statement.if_(Expr.literal(1), [q], [])",
                 id="object-new-statement"),
]


@pytest.mark.parametrize("make, use", AROUND_CONSTRUCTOR)
def test_objects_made_around_the_constructor(make, use):
    run_clean(f"""
        try:
            q = {make}
        except TypeError:
            sys.exit(0)
        try:
            {use}
        except BaseException:
            pass
    """)


# CPython's iter() of a released memoryview comes back with an error set,
# which the names that run_many converts next would meet as a SystemError.
@PYPY_CRASH
@pytest.mark.parametrize("entry", ["Expr.not_(m)", "Expr.literal(m)", "Quarn().run(m)",
                                   "Quarn().run_many([], m, inputs='xy')"])
def test_released_memoryview(entry):
    run_clean(f"""
        m = memoryview(b"ab")
        m.release()
        try:
            {entry}
        except (TypeError, ValueError):
            pass
    """)


def test_tuple_subclass_whose_iterator_changes_its_class():
    # Met inside a list: PyPy builds the C view of the tuple while velmo
    # iterates the list.
    run_clean("""
        class Plain(tuple):
            pass
        class Shifty(tuple):
            def __iter__(self):
                self.__class__ = Plain
                return iter([1, "a", None])
        try:
            Expr.literal([Shifty((1, 2))])
        except TypeError:
            pass
    """)


@pytest.mark.parametrize("entry", ["Expr.literal(text)", "Expr.ident(text)", "Quarn().get(text)",
                                   "Expr.binary_op(Expr.literal(1), text, Expr.literal(2))"])
def test_str_subclass_with_huge_length(entry):
    # PyPy takes the size of the UTF-8 form of a str subclass from __len__.
    run_clean(f"""
        class Long(str):
            def __len__(self):
                return sys.maxsize
        text = Long("+")
        try:
            {entry}
        except BaseException as e:
            if type(e).__name__ not in ("TypeError", "ValueError", "PanicException"):
                raise
    """)


@PYPY_CRASH
def test_tuple_subclass_with_huge_length():
    # PyPy builds the C view of a tuple subclass from its __len__, and
    # crashes when it frees that view.
    run_clean("""
        import gc
        class Huge(tuple):
            def __len__(self):
                return sys.maxsize
        huge = Huge((1, 2))
        try:
            Expr.not_(huge)
        except (TypeError, MemoryError):
            pass
        del huge
        gc.collect()
    """)


@pytest.mark.parametrize("module", ["5", "None", "b'numpy'"])
def test_numpy_named_type_whose_module_is_not_text(module):
    # The numpy boolean test compares __module__ as text without checking
    # that it is one.
    run_clean(f"""
        Fake = type("numpy.bool_", (), {{"__module__": {module}, "__bool__": lambda self: True}})
        try:
            Expr.literal(Fake())
        except TypeError:
            pass
    """)


@pytest.mark.parametrize("build", ["Expr.literal(Hint([1]))", "Expr.vector(Hint([]))", "Quarn().run(Hint([]))"])
def test_panic_from_the_size_hint_is_not_swallowed(build):
    out = run_clean(f"""
        class Hint(list):
            def __len__(self):
                Quarn().get("inner")
        try:
            {build}
            print("swallowed")
        except BaseException as e:
            print(type(e).__name__)
    """)
    assert out == ["PanicException"]


def test_conversion_error_whose_cause_chain_loops():
    # The enum text holds the cause chain of each attempt's error; a chain
    # that loops must still give a finite text (the chain is cut, as
    # Python's own traceback printing cuts it).
    proc = run_isolated("""
        class Looping:
            def __index__(self):
                error = ValueError("loop")
                error.__cause__ = error
                raise error
        try:
            Expr.literal(Looping())
        except TypeError:
            print("TypeError")
    """, timeout=3)
    assert assert_clean(proc) == ["TypeError"]


def test_panic_from_the_numpy_test_is_not_swallowed():
    out = run_clean("""
        class Meta(type):
            def __getattribute__(cls, name):
                if name == "__module__":
                    Quarn().get("inner")
                return type.__getattribute__(cls, name)
        Fake = Meta("numpy.bool_", (), {"__bool__": lambda self: True})
        try:
            Expr.literal(Fake())
        except BaseException as e:
            print(type(e).__name__)
    """)
    assert out == ["PanicException"]


# PyPy makes a class's C type the first time C code sees one of its
# instances inside a list; a metaclass hook that raises then must end the
# call cleanly, not leave the module reading items that were never made.
NAMELESS = """
class Nameless(type):
    def __getattribute__(cls, name):
        if name == "__name__":
            raise RuntimeError("no name")
        return type.__getattribute__(cls, name)
Plain = Nameless("Plain", (), {})
for attempt in ATTEMPTS:
    try:
        attempt()
    except BaseException as e:
        print(type(e).__name__)
"""


@pytest.mark.parametrize(
    "call,on_pypy",
    [
        ("Quarn().run([Plain()])", "RuntimeError"),
        ("Expr.vector([Plain()])", "RuntimeError"),
        ("Expr.literal([Plain()])", "TypeError"),  # a failed step of the Vector attempt
    ],
)
def test_list_item_whose_class_cannot_be_made_for_c(call, on_pypy):
    out = run_clean(NAMELESS.replace("ATTEMPTS", f"[lambda: {call}]"))
    assert out == [on_pypy if IS_PYPY else "TypeError"]


# After one such failure, PyPy's own list storage asserts the next time.
@PYPY_CRASH
def test_second_list_item_whose_class_cannot_be_made_for_c():
    run_clean(NAMELESS.replace("ATTEMPTS", "[lambda: Quarn().run([Plain()]), lambda: Expr.literal([Plain()])]"))


# A str subclass whose __len__ raises, inside a list: PyPy's list storage
# breaks when it makes the item for C code, whichever way the module reads it.
@PYPY_CRASH
def test_list_holding_a_str_subclass_whose_length_fails():
    run_clean("""
        import gc
        class Lengthless(str):
            def __len__(self):
                raise ValueError("no length")
        for i in range(3000):
            try:
                Expr.literal([-0.0, Lengthless("hs"), 1])
            except BaseException:
                pass
            if i % 500 == 0:
                gc.collect()
    """)



# An item whose hooks empty the container it came from while the module
# reads that container: the container lets go of the item (and of those
# after it) during the item's own conversion.
EMPTIER = """
class Emptier:
    def __init__(self):
        self.home = None
    def empty(self):
        home, self.home = self.home, None
        if home is not None:
            home.clear()
    def __index__(self):  # the I64 attempt then fails, and F64 asks __float__
        self.empty()
        return "no int"
    def __float__(self):
        self.empty()
        return 1.5
    def keys(self):
        self.empty()
        return ["a"]
    def __getitem__(self, name):
        self.empty()
        return 1

def housed(container, *items):  # each Emptier among the items, or in a tuple of them, empties the container
    for item in items:
        for inner in item if type(item) is tuple else (item,):
            if type(inner) is Emptier:
                inner.home = container
    if type(container) is dict:
        container.update(zip("vw", items))
    else:
        container.extend(items)
    return container

def nested():  # the item sits in a list inside the one it empties
    outer, item = [], Emptier()
    item.home = outer
    outer += [[item], 2]
    return outer

q = Quarn()
try:
    print(repr(CALL))
except TypeError as e:
    print("TypeError", str(e).split(":")[0])
"""


@pytest.mark.parametrize(
    "call, expected",
    [
        ("q.run_many([], [], outputs=housed([], Emptier(), Emptier()))", "TypeError argument 'outputs'"),
        ("q.run_many([], [], inputs=housed([], Emptier(), Emptier()))", "TypeError argument 'inputs'"),
        ("q.update({'v': housed([], Emptier(), Emptier())}) or q.get('v')", "[1.5]"),
        ("q.update({'v': nested()}) or q.get('v')", "[[1.5]]"),
        ("q.update(housed([], ('v', Emptier()), ('w', 2))) or q.names()", "['v']"),
        ("q.update(housed({}, Emptier(), 2)) or sorted(q.names())", "['v', 'w']"),
        ("q.run_many([], housed([], Emptier(), Emptier()), outputs=['a'])", "[(1,)]"),
        ("q.run_many([], housed([], (Emptier(),), (2,)), inputs=['a'], outputs=['a'])", "[(1.5,)]"),
        ("q.run_many([], [housed([], 1, Emptier())], inputs=['a', 'b'], outputs=['b'])", "[(1.5,)]"),
    ],
    ids=["outputs", "inputs", "value", "nested-value", "pairs", "dict", "mapping-rows", "rows", "row"],
)
def test_an_item_that_empties_its_container_while_it_converts(call, expected):
    assert run_clean(EMPTIER.replace("CALL", call)) == expected.split()


# A dict key whose __hash__ raises once the dict is made: PyPy's PyDict_Next
# looks every key up again, and its C-API layer ends the process when that
# fails. The module reads a dict's items without looking anything up.
@pytest.mark.parametrize(
    "call, hashes, expected",
    [
        ("q.update({Key(7): 1}) or q.names()", 1, "[7]"),
        ("q.run_many([], [{Key(7): 1}], outputs=[7])", 1, "[(1,)]"),
        # PyPy hashes the keywords twice more on their way to the call.
        ("Quarn(**{Text('max_operations'): 5})", 3, "Machine { vars: {} }"),
    ],
    ids=["update", "row", "keywords"],
)
def test_a_dict_key_whose_hash_raises_later(call, hashes, expected):
    out = run_isolated(f"""
        class Later:
            hashes = 0
            def __hash__(self):
                Later.hashes += 1
                if Later.hashes > {hashes}:
                    raise ValueError("no hash")
                return 5
        class Key(Later, int):
            pass
        class Text(Later, str):
            pass
        q = Quarn()
        print(repr({call}))
    """)
    assert assert_clean(out) and out.stdout.strip() == expected


# Python code that recurses to its limit and calls the module at every
# level: PyPy checks its stack inside C-API functions that may not fail,
# and ended the process when the module made such a call at the brink.
@pytest.mark.parametrize("call", ["Quarn()", "q.get('a')", "repr(q)", "'a' in q", "Expr.literal('a')",
                                  "q.run([Statement.let('b', Expr.literal(1))])", "q.update({'b': 2})"])
def test_a_call_at_the_recursion_limit(call):
    out = run_clean(f"""
        q = Quarn()
        q.update({{'a': 1}})
        def down(n):
            {call}
            down(n + 1)
        try:
            down(0)
        except RecursionError:
            print("RecursionError")
    """)
    assert out == ["RecursionError"]
