"""Turns fuzzer input (bytes) into a Python snippet that drives velmo.

The snippet is the reproducer: it holds everything it needs (hostile classes,
callbacks, programs) except the short PRELUDE, which defines the checks every
call goes through, and the containers that objects can turn on: a list or
dict made by _house() tells its items where they live, and their hooks
(__index__, __float__, __len__, __iter__, __getitem__, __eq__, __hash__,
keys()) or the callbacks empty, shrink, grow or refill it while velmo reads
it, as names, rows, pairs, values or statements. `reproducer(data)` gives
prelude and snippet together, a script that runs on its own.

Crashes inside the interpreter itself, which the module cannot avoid, are
listed in KNOWN; the generator leaves those inputs out (per host) so that the
fuzzers keep finding new faults instead of the same one.
"""

import re
import sys

IS_PYPY = sys.implementation.name == "pypy"

# name -> hosts on which the generator avoids it ("any" for both).
KNOWN = {
    # A released memoryview passed to any entry point: PyPy's C API ends the
    # process while it makes the C object of the view.
    "released_memoryview": {"pypy"},
    # A tuple subclass whose __len__ or __iter__ disagrees with its items:
    # PyPy builds the C view of the tuple from them and crashes (a huge
    # __len__, an __iter__ that changes the object's class).
    "tuple_subclass_protocols": {"pypy"},
    # A list holding an instance of a class whose metaclass hook raises while
    # PyPy makes the class's C type: the first list fails cleanly, the next
    # ends the process inside PyPy's list storage.
    "metaclass_hook_in_list": {"pypy"},
    # A str subclass whose __len__ raises or lies: PyPy makes the C object of
    # a str subclass from __len__; inside a list, read by C code in any way,
    # a failure there leaves PyPy's list storage broken, and a later access
    # ends the process (seen with a plain C extension too).
    "str_len_huge": {"pypy"},
}


def avoided(name):
    hosts = KNOWN.get(name, ())
    return "any" in hosts or ("pypy" if IS_PYPY else "cpython") in hosts


PRELUDE = r'''
import gc, signal, sys, threading, time
from velmo import Expr, Statement, Quarn
CPYTHON = sys.implementation.name == "cpython"
try:
    Quarn().get("__never_bound__")
except BaseException as _e:
    PanicException = type(_e)
ESCAPED = [0]

class Misbehaviour(AssertionError):
    pass

def _many(m, stmts, rows, inputs, outputs, errors):
    """run_many with its keyword-only arguments."""
    return m.run_many(stmts, rows, inputs=inputs, outputs=outputs, errors=errors)

def _columns(m, stmts, columns, outputs, inputs, errors):
    """run_columns with its keyword-only arguments, its result then read
    every way it can be: num_rows, failures, and each column's len,
    null_count, last item and to_pylist()."""
    result = m.run_columns(stmts, columns, outputs=outputs, inputs=inputs, errors=errors)
    result.num_rows, dict(result.failures)
    for name in list(result):
        column = result[name]
        len(column), column.null_count, column.to_pylist()
        if len(column):
            column[-1]
    return result

def _array(code, items, view=False):
    """A buffer column of `items` (array.array, or a memoryview of it), or the
    items as they are when they do not fit the type code."""
    import array
    saved = ESCAPED[0]
    try:
        made = array.array(code, items)
    except BaseException:
        ESCAPED[0] = saved  # an item's hook failed here, not in velmo
        return items
    return memoryview(made) if view else made

def _mapping(pairs):
    """A dict of the items that are pairs whose names hash (a name's own
    __hash__ or __eq__, or an item's __iter__, may raise anything)."""
    out = {}
    for pair in pairs:
        saved = ESCAPED[0]
        try:
            name, value = pair
            out[name] = value
        except BaseException:
            ESCAPED[0] = saved  # a PanicException dropped here is no fault of velmo's
    return out

# Containers whose items may turn on them, newest last: velmo reads a list,
# a dict or a row in place while an item's hook (__index__, __float__,
# __len__, keys(), ...) or a callback changes it under it, and must never
# touch an item the container has let go of.
_HOMES = []

def _house(container):
    """The container, each item (and each item of a list in it) told where it
    lives, so that its hooks can change it (see _upset)."""
    _HOMES.append(container)
    del _HOMES[:-8]
    items = list(container.items()) if type(container) is dict else list(container)
    for item in items:
        for inner in item if type(item) in (tuple, list) else (item,):
            try:
                vars(inner)["_home"] = container
            except TypeError:
                pass
    return container

def _change(home, how, obj=None):
    """Empties, shrinks, grows or replaces the items of a list or a dict."""
    if isinstance(home, dict):
        if how == 0:
            home.clear()
        elif how == 1:
            for key in list(home)[: len(home) // 2 + 1]:
                home.pop(key, None)
        elif how == 2 and len(home) < 100:
            home.update((i, Plain()) for i in range(8))
        else:
            for key in list(home):
                home[key] = Plain()
    elif isinstance(home, list):
        if how == 0:
            home.clear()
        elif how == 1:
            del home[len(home) // 2 :]
        elif how == 2 and len(home) < 100:
            home[:] = [Plain()] * 5 + home
        else:
            for at, item in enumerate(home):
                if item is obj or obj is None:
                    home[at] = Plain()

def _upset(obj, how):
    """Changes the container obj lives in (see _house), if any."""
    try:
        home = vars(obj).get("_home")
    except TypeError:
        return
    if home is not None:
        _change(home, how, obj)

def _wreck(how):
    """Changes the newest containers: the rows, statements or names a call
    is reading."""
    for home in _HOMES[-2:]:
        _change(home, how)

def _pickled(obj):
    """A round trip through pickle, at a protocol the fuzzer picks."""
    import pickle
    return pickle.loads(pickle.dumps(obj, protocol=2 + len(str(type(obj))) % (pickle.HIGHEST_PROTOCOL - 1)))

def _panic():
    """Raise PanicException out of a hook: velmo must not swallow it."""
    ESCAPED[0] += 1
    Quarn().run([Statement.let("p", Expr.ident("__unbound__"))])

def _swallow(fn):
    """Run fn and drop whatever it raises, PanicException included."""
    saved = ESCAPED[0]
    try:
        fn()
    except BaseException:
        pass
    ESCAPED[0] = saved

class _quiet:
    """Brackets a hook whose errors velmo may report and drop."""
    def __enter__(self):
        self.saved = ESCAPED[0]
    def __exit__(self, *exc):
        ESCAPED[0] = self.saved

def _quiet_panic():
    """The same, from a hook whose errors velmo may report and drop."""
    Quarn().run([Statement.let("p", Expr.ident("__unbound__"))])

def _deep(n, leaf=1):
    v = leaf
    for _ in range(n):
        v = [v]
    return v

def _refs(objs):
    if not CPYTHON or not objs:
        return None
    gc.collect()
    Expr.literal(None)  # releases deferred references
    return [sys.getrefcount(o) for o in objs]

def _released():
    m = memoryview(b"ab")
    m.release()
    return m

def _loop():
    items = []
    items.append(items)
    return items

def _fill(container, items):
    container[:] = items
    return container

class Plain:
    pass

class I(int):
    pass

class F(float):
    pass

class S(str):
    pass

class L(list):
    pass

class T(tuple):
    pass

box = []
x = [1, "x"]
holder = []
_trees = []

_collections = [0]

def _collect():
    """gc.collect() now and then: hooks may run thousands of times."""
    _collections[0] += 1
    if _collections[0] % 16 == 1:
        gc.collect()

def _in_thread(fn):
    """Run fn on another thread while this one waits (and lets it run)."""
    t = threading.Thread(target=_swallow, args=(fn,))
    t.start()
    t.join()

class _OddText:
    """An exception argument whose text fights back."""
    def __init__(self, how):
        self.how = how
    def __str__(self):
        _swallow(lambda: q.run([Statement.let("odd", Expr.ident("__unbound__"))]))
        if self.how == 0:
            raise ValueError("no text")
        return b"bytes" if self.how == 1 else "\udc80"
    __repr__ = __str__

def _cause_cycle(e):
    e.__cause__ = e
    return e

def _cause_chain(n):
    e = ValueError(0)
    for i in range(1, n):
        outer = ValueError(i)
        outer.__cause__ = e
        e = outer
    return e

# Objects of these types are shared all over the interpreter: their counts
# move for reasons of their own.
SHARED_TYPES = (int, float, str, bool, bytes, complex, type(None), type, type(len), type(sys))
# So is the empty tuple: an iterator a call consumes lets go of its own.
EMPTY = ()

RESULT_TYPES = {"Expr": "Expr", "Statement": "Statement", "Quarn": "Quarn", "repr": "str",
                "get": "NoneType|bool|int|float|str|list", "run": "NoneType", "update": "NoneType",
                "many": "list", "names": "list", "in": "bool", "columns": "Columns"}

class _Deadline(Exception):
    pass

def _deadline(signum, frame):
    raise _Deadline("deadline")

def call(kind, fn, *watch):
    """Run one entry point and drop its result. Raise Misbehaviour on what is wrong whatever the input: a SystemError, a
    swallowed PanicException, a leaked reference to a watched argument, a
    result of the wrong type. A call runs under a deadline: rows or pairs
    may come without end (a class whose __getitem__ never raises), which
    velmo must stop at the handler's exception as at Ctrl-C."""
    ESCAPED[0] = 0
    watch = tuple(w for w in watch if type(w) not in SHARED_TYPES and w is not EMPTY) if WATCH else ()
    before = _refs(watch)
    result, error, text = None, None, ""
    previous = signal.signal(signal.SIGALRM, _deadline)
    try:
        signal.setitimer(signal.ITIMER_REAL, 3)
        result = fn()
    except BaseException as e:
        error = type(e)
        try:
            text = str(e)
        except BaseException:
            text = "<str failed>"
        if error is PanicException and not (len(e.args) == 1 and isinstance(e.args[0], str)):
            raise Misbehaviour(f"PanicException args {e.args!r}")
        del e
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    escaped, ESCAPED[0] = ESCAPED[0], 0
    if error is SystemError or "SystemError" in text:
        raise Misbehaviour(f"{kind}: {error.__name__}: {text[:2000]}")
    # A batch that goes on past failed rows gives a row's PanicException back.
    returned = error is None and (
        kind == "many" and any(type(r) is PanicException for r in result)
        or kind == "columns" and any(type(r) is PanicException for r in result.failures.values()))
    if escaped and error is not PanicException and not returned:
        raise Misbehaviour(f"{kind}: a PanicException raised by Python code was swallowed "
                           f"(the call ended with {error.__name__ if error else 'success'})")
    if error is None:
        expected = RESULT_TYPES.get(kind, "")
        if expected and type(result).__name__ not in expected.split("|"):
            raise Misbehaviour(f"{kind} returned {type(result).__name__}")
    result = None
    after = _refs(watch)
    if before != after:
        raise Misbehaviour(f"{kind}: reference counts of the arguments went from {before} to {after}")

def survives(m):
    """A machine stays usable after whatever happened to it."""
    if type(m).__name__ != "Quarn" or type(m) is not Quarn:
        return
    m.run([Statement.let("__alive__", Expr.literal([1, "x"]))])
    if m.get("__alive__") != [1, "x"]:
        raise Misbehaviour("machine lost a binding")
    if not isinstance(repr(m), str):
        raise Misbehaviour("repr of a machine")
'''


class Source:
    """Choices drawn from fuzzer bytes; zeros once the bytes run out, so
    every input, however short, makes a valid snippet."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def below(self, n):
        if n <= 1:
            return 0
        v = self.byte()
        if n > 256:
            v = v << 8 | self.byte()
        return v % n

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def chance(self, in_256):
        return self.byte() < in_256


CALLEES = ['"f0"', '"f1"', '"f2"', '"a"', "7"]
NAMES = ['"a"', '"b"', '"f0"', '"f1"', '"f2"', "0", "1", "True", '"q"', '"__alive__"']
OPERATORS = ['"+"', '"-"', '"*"', '"/"', '"%"', '""', '"++"', '" +"', '"\\u00e9"', '"\\ud800"']
EXCEPTIONS = ["ValueError('x')", "TypeError('t')", "OverflowError('o')", "RecursionError('r')",
              "KeyboardInterrupt()", "MemoryError()", "StopIteration()", "IndexError(3)",
              "UnicodeEncodeError('utf-8', '\\ud800', 0, 1, 'surrogates not allowed')",
              "TypeError(_OddText(0))", "TypeError(_OddText(1))", "ValueError(_OddText(2))"]
PLAIN_VALUES = ["None", "True", "False", "0", "-1", "1", "2**63-1", "-2**63", "2**63", "-2**63-1",
                "2**64-1", "2**64", "10**400", "-10**400", "0.5", "-0.0", "float('nan')",
                "float('inf')", "1e308*10", "''", "'abc'", "'\\x00'", "'\\ud800'", "'a\\udfffb'",
                "'\\U0001f600'", "'x'*100000", "b''", "b'ab'", "bytearray(b'xy')", "memoryview(b'mv')",
                "{}", "{1: 2}", "set()", "frozenset({1})", "(i for i in range(3))", "range(4)",
                "1j", "object()", "Ellipsis", "NotImplemented", "len", "print",
                "type", "int", "sys", "(lambda x: x)", "[].append", "Quarn", "Expr", "Statement"]


class Snippet:
    """Collects the definitions and lines of one generated snippet."""

    def __init__(self, src):
        self.src = src
        self.defs = []
        self.lines = []
        self.count = 0

    def name(self, prefix):
        self.count += 1
        return f"{prefix}{self.count}"

    def define(self, code):
        self.defs.append(code)

    def emit(self, line):
        self.lines.append(line)

    def text(self):
        return "\n".join(self.defs + self.lines) + "\n"


# ------------------------------------------------------------ hostile hooks

HOOK_RETURNS = {
    "__index__": (["3", "0", "2**64-1", "I(5)"], ["1.5", "'7'", "None", "True", "2**100", "-5", "2**10000"]),
    "__float__": (["2.5", "F(1.5)", "float('nan')"], ["1", "'x'", "None", "F(2.0)", "2**64"]),
    "__len__": (["2", "0"], ["-1", "2**100", "'x'", "1.5", "sys.maxsize", "True"]),
    "__iter__": (["iter([1, 'a', None])", "iter(())", "iter([[1], [2.5]])"],
                 ["5", "self", "[1, 2]", "iter(range(100000))", "iter([{}])", "iter([self])"]),
    "__getitem__": (["(1, 'g')[i]"], ["[][i]", "{}[i]", "self", "(i if i < 100 else [][i])"]),
    "__bool__": (["True"], ["1", "None"]),
    "__repr__": (["'r'"], ["5", "b'x'", "'\\ud800'", "S('s')", "None"]),
    "__str__": (["'s'"], ["5", "b'x'", "'\\udc80'", "S('s')", "None"]),
    "__next__": (["1"], ["self", "{}"]),
    "__eq__": (["False", "True", "NotImplemented"], ["None", "self", "1"]),
    "__hash__": (["7", "0", "-1"], ["'x'", "2**100", "None"]),
    "keys": (["['a', 'b']", "iter(['a', 0])", "()"], ["5", "None", "self", "[[]]", "iter([self])"]),
}
HOOK_PARAMS = {"__getitem__": "self, i", "__eq__": "self, other"}
QUIET_HOOKS = {"__repr__", "__str__", "__qualname__"}


def hook_lines(sn, proto, depth, tenant=False):
    """Body of one hook: a few side effects, then a return or a raise. A
    tenant's hooks mostly change the container it lives in first."""
    src = sn.src
    lines = []
    if tenant and src.chance(200):
        lines.append(f"_upset(self, {src.below(4)})")
    for _ in range(src.below(3)):
        lines.append(side_effect(sn, depth))
    if proto == "__next__":  # every iterator ends
        lines.insert(0, "self.steps = getattr(self, 'steps', 0) + 1\nif self.steps > 40:\n    raise StopIteration")
    good, bad = HOOK_RETURNS[proto]
    kind = src.below(8)
    if kind == 0:
        lines.append(f"raise {src.pick(EXCEPTIONS)}")
    elif kind == 1 and src.chance(64):
        chains = ["_cause_chain(1000)"] + ([] if avoided("cause_cycle") else ["_cause_cycle(ValueError('c'))"])
        lines.append(f"raise {src.pick(chains)}")
    elif kind == 1 and not (proto == "__len__" and avoided("len_panic")):
        lines.append("_quiet_panic()" if proto in QUIET_HOOKS else "_panic()")
    elif kind in (2, 3):
        lines.append(f"return {src.pick(bad)}")
    else:
        lines.append(f"return {src.pick(good)}")
    if proto in QUIET_HOOKS:
        return ["with _quiet():\n" + indent(lines, "    ")]
    return lines


def side_effect(sn, depth):
    """One statement with an effect on the world outside the hook."""
    src = sn.src
    kind = src.below(10)
    if kind == 0:
        sn.stash = True
        # box may be the list being converted: it grows, but not for ever.
        return src.pick(["box.clear()", "len(box) < 50 and box.append(self)", "box[:] = [object()] * 100",
                         "len(box) < 50 and box.append(box)"])
    if kind == 1:
        sn.stash = True
        return f"try:\n    self.__class__ = {src.pick(['Plain', 'I', 'F', 'S', 'L', 'T'])}\nexcept TypeError:\n    pass"
    if kind == 2:
        return "_collect()"
    if kind == 3 and depth > 0:
        return f"q.run([{stmt_code(sn, depth - 1)}])"
    if kind == 4:
        return f"_swallow(lambda: q.run([{stmt_code(sn, depth - 1)}]))"
    if kind == 5:
        return f"_swallow(lambda: q.get({src.pick(NAMES)}))"
    if kind == 6:
        sn.stash = True
        return "globals()['q'] = Quarn()"
    if kind == 7:
        sn.stash = True
        return f"_upset(self, {src.below(4)})"
    if kind == 8:
        sn.stash = True
        return f"_wreck({src.below(4)})"
    return "pass"


def indent(lines, by="        "):
    return "\n".join(by + l.replace("\n", "\n" + by) for l in lines)


def hostile_class(sn, depth, tenant=False):
    """A class with a random set of protocol hooks, on a random base; a
    tenant's hooks turn on the container it is put in (see _house)."""
    src = sn.src
    base = src.pick(["object", "object", "int", "float", "str", "list", "tuple", "Exception"])
    if base == "tuple" and avoided("tuple_subclass_protocols"):
        base = "list"
    name = sn.name("H")
    methods = []
    for proto in HOOK_RETURNS:
        if proto == "__len__" and base == "str" and avoided("str_len_huge"):
            continue
        if src.chance(100 if tenant else 70):
            args = HOOK_PARAMS.get(proto, "self")
            methods.append(f"    def {proto}({args}):\n{indent(hook_lines(sn, proto, depth, tenant))}")
    body = "\n".join(methods) or "    pass"
    sn.define(f"class {name}({base}):\n{body}")
    ctor = {"object": "", "int": "7", "float": "0.25", "str": "'hs'", "list": "[1, 2]", "tuple": "(1, 2)",
            "Exception": "'e'"}[base]
    return f"{name}({ctor})"


def tenant(sn, depth):
    """A hostile object for a container that _house() makes."""
    sn.stash = True
    return hostile_class(sn, depth, tenant=True)


def housed(sn, items, shape="list"):
    """Code for a list (or a dict of the items as pairs) that its tenants
    can change while velmo reads it."""
    sn.stash = True
    if shape == "dict":
        return f"_house(_mapping([{items}]))"
    return f"_house([{items}])"


def item_or_tenant(sn, make):
    """An item of a housed container: often a tenant."""
    return tenant(sn, 0) if sn.src.chance(80) else make()


def meta_object(sn, depth):
    """An instance whose type's name, module or qualified name is hostile,
    some of them dressed as numpy's bool so that velmo asks for __bool__."""
    src = sn.src
    meta = sn.name("M")
    branches = []
    # PyPy reads a class's names and module when it makes the class's C type.
    hooked = () if avoided("metaclass_hook_in_list") else ("__qualname__", "__module__", "__name__")
    for attr in hooked:
        if src.chance(128):
            # velmo reads these names for the numpy test and drops any error.
            body = indent(hook_lines(sn, "__repr__", depth), "            ")
            branches.append(f"        if name == {attr!r}:\n{body}")
    sn.define(f"class {meta}(type):\n    def __getattribute__(cls, name):\n" + "\n".join(branches) +
              "\n        return type.__getattribute__(cls, name)")
    cls = sn.name("N")
    tp = src.pick(["numpy.bool_", "numpy.bool", "numpy", "plain"])
    module = src.pick(["'numpy'", "5", "None", "'numpy.x'"])
    bool_body = indent(hook_lines(sn, "__bool__", depth), "    ")
    sn.define(f"def _b{cls}(self):\n{bool_body}\n"
              f"{cls} = {meta}({tp!r}, (), {{'__module__': {module}, '__bool__': _b{cls}}})")
    return f"{cls}()"


ODD_INSTANCES = [("object_new_quarn", "object.__new__(Quarn)"), ("quarn_new_other", "Quarn.__new__(Expr)"),
                 ("quarn_new_other", "Quarn.__new__(Statement)"), ("", "object.__new__(Expr)"),
                 ("", "object.__new__(Statement)"), ("", "Quarn.__new__(Quarn)"), ("", "Expr.__new__(Expr)"),
                 ("quarn_new_other", "Quarn.__new__(Plain)"), ("released_memoryview", "_released()")]


def any_code(sn, depth):
    """Python expression text for an arbitrary object."""
    src = sn.src
    kind = src.below(12)
    if kind < 3:
        return src.pick(PLAIN_VALUES)
    if kind < 5:
        return hostile_class(sn, depth)
    if kind == 5:
        return meta_object(sn, depth)
    if kind == 6:
        known, code = src.pick(ODD_INSTANCES)
        return "None" if known and avoided(known) else code
    if kind == 7:
        return src.pick(["_deep(10)", "_deep(1000)", "_deep(100000)", "_loop()", "_deep(50, {})", "_deep(3, 2**64)"])
    if kind == 8 and depth > 0:
        if src.chance(64):
            return housed(sn, ", ".join(item_or_tenant(sn, lambda: any_code(sn, depth - 1))
                                        for _ in range(1 + src.below(4))))
        items = ", ".join(any_code(sn, depth - 1) for _ in range(src.below(4)))
        return src.pick([f"[{items}]", f"({items},)" if items else "()", f"_fill(box, [{items}])", f"L([{items}])",
                         f"T([{items}])"])
    if kind == 9:
        return src.pick(["I(3)", "F(2.5)", "S('sub')", "S('\\ud800')", "L([1, 'x'])", "T((None,))", "I(2**64)"])
    if kind == 10 and depth > 0:
        return expr_code(sn, depth - 1)
    return value_code(sn, depth)


def value_code(sn, depth):
    """A value that velmo mostly accepts, sometimes with a hostile part."""
    src = sn.src
    kind = src.below(8)
    if kind < 4:
        return src.pick(PLAIN_VALUES[:30])
    if kind < 6 and depth > 0:
        if src.chance(40):
            return housed(sn, ", ".join(item_or_tenant(sn, lambda: value_code(sn, depth - 1))
                                        for _ in range(1 + src.below(4))))
        items = ", ".join(value_code(sn, depth - 1) for _ in range(src.below(4)))
        return f"[{items}]" if src.chance(128) else f"({items},)" if items else "()"
    if kind == 6:
        return "x"
    return any_code(sn, depth)


# ------------------------------------------------------------ programs

def name_code(sn):
    src = sn.src
    return src.pick(NAMES) if src.chance(230) else any_code(sn, 0)


def expr_code(sn, depth):
    """Inline builder calls for an Expr, mostly valid."""
    src = sn.src
    kind = src.below(10) if depth > 0 else src.below(3)
    if kind == 0:
        return f"Expr.literal({value_code(sn, depth)})"
    if kind in (1, 2):
        return f"Expr.ident({name_code(sn)})"
    if kind == 3:
        op = src.pick(OPERATORS[:4]) if src.chance(220) else src.pick(OPERATORS)
        return f"Expr.binary_op({expr_code(sn, depth - 1)}, {op}, {expr_code(sn, depth - 1)})"
    if kind == 4:
        builder = src.pick(["equals", "greater_than", "less_than"])
        return f"Expr.{builder}({expr_code(sn, depth - 1)}, {expr_code(sn, depth - 1)})"
    if kind == 5:
        return f"Expr.not_({expr_code(sn, depth - 1)})"
    if kind in (6, 7):
        return f"Expr.call({src.pick(CALLEES)}, {expr_code(sn, depth - 1)})"
    items = ", ".join(expr_code(sn, depth - 1) for _ in range(src.below(4)))
    return f"Expr.vector([{items}])"


def stmt_code(sn, depth):
    """Inline builder calls for a Statement, mostly valid."""
    src = sn.src
    kind = src.below(6)
    if kind < 3 or depth <= 0:
        return f"Statement.let({name_code(sn)}, {expr_code(sn, max(depth, 0))})"
    if kind == 3:
        then = ", ".join(stmt_code(sn, depth - 1) for _ in range(src.below(3)))
        other = ", ".join(stmt_code(sn, depth - 1) for _ in range(src.below(3)))
        return f"Statement.if_({expr_code(sn, depth - 1)}, [{then}], [{other}])"
    return f"Statement.fn({src.pick(CALLEES[:3])}, {callback(sn, depth - 1)})"


def callback_line(sn, fname, depth):
    """One statement of a callback with an effect on the machine or the world."""
    src = sn.src
    kind = src.below(9)
    if kind == 0 and depth > 0:
        return f"q.run([{', '.join(stmt_code(sn, depth - 1) for _ in range(1 + src.below(2)))}])"
    if kind == 1:
        return f"_swallow(lambda: q.run([{stmt_code(sn, depth - 1)}]))"
    if kind == 2:
        return f"_swallow(lambda: q.get({name_code(sn)}))"
    if kind == 3:
        rebind = src.pick([f"Statement.let({fname!r}, Expr.literal(0))",
                           f"Statement.fn({fname!r}, lambda v: v)", f"Statement.let({fname!r}, Expr.ident('a'))"])
        return f"q.run([{rebind}])"
    if kind == 4:
        return f"_trees.append({expr_code(sn, depth)})"
    if kind == 5:
        sn.stash = True
        return src.pick(["holder.clear()\nglobals()['q'] = Quarn()", "del holder[:]", "globals()['q'] = None"])
    if kind == 6:
        return "_collect()"
    if kind == 7:
        return src.pick(["time.sleep(0)", f"_in_thread(lambda: q.run([{stmt_code(sn, depth - 1)}]))",
                         f"_in_thread(lambda: q.get({name_code(sn)}))"])
    if kind == 8 and src.chance(128):
        sn.stash = True
        return f"_wreck({src.below(4)})"
    return f"x = {value_code(sn, 1)}"


def callback_end(sn, depth):
    """How a callback ends: a raise of some kind, or a return."""
    src = sn.src
    kind = src.below(10)
    if kind == 0:
        return f"raise {src.pick(EXCEPTIONS)}"
    if kind == 1:
        return "_panic()"
    if kind == 2:
        return f"raise {hostile_exception(sn, depth)}"
    return f"return {value_code(sn, 1) if src.chance(180) else any_code(sn, 1)}"


def hostile_exception(sn, depth):
    """An exception whose str, repr or cause chain fights back."""
    src = sn.src
    name = sn.name("E")
    methods = []
    for proto in ("__str__", "__repr__"):
        if src.chance(128):
            methods.append(f"    def {proto}(self):\n{indent(hook_lines(sn, proto, depth))}")
    sn.define(f"class {name}(Exception):\n" + ("\n".join(methods) or "    pass"))
    if src.chance(60):
        return f"_cause_cycle({name}('cycle'))"
    return f"{name}('e')"


def callback(sn, depth):
    """Defines a Python function for Statement.fn and returns its name."""
    src = sn.src
    fname = sn.name("f")
    body = [callback_line(sn, fname, depth) for _ in range(src.below(4))]
    body.append(callback_end(sn, depth))
    shape = src.below(16)
    if shape == 0:
        body.insert(0, "yield x")  # calling it makes a generator
    elif shape == 1:
        return src.pick(["(lambda: 1)", "(lambda x, y: 1)", "(lambda *a, **k: a)", "(lambda x: (yield x))"])
    sn.define(f"def {fname}(x):\n{indent(body, '    ')}")
    return fname


# ------------------------------------------------------------ entry points

# (result kind, callee, parameter names, argument makers)
ENTRIES = [
    ("Expr", "Expr.literal", ["value"], ["value"]),
    ("Expr", "Expr.ident", ["id"], ["name"]),
    ("Expr", "Expr.binary_op", ["a", "o", "b"], ["expr", "op", "expr"]),
    ("Expr", "Expr.equals", ["a", "b"], ["expr", "expr"]),
    ("Expr", "Expr.not_", ["item"], ["expr"]),
    ("Expr", "Expr.greater_than", ["a", "b"], ["expr", "expr"]),
    ("Expr", "Expr.less_than", ["a", "b"], ["expr", "expr"]),
    ("Expr", "Expr.call", ["ident", "args"], ["name", "expr"]),
    ("Expr", "Expr.vector", ["items"], ["exprs"]),
    ("Statement", "Statement.let", ["ident", "pxpr"], ["name", "expr"]),
    ("Statement", "Statement.if_", ["pxpr", "then", "otherwise"], ["expr", "stmts", "stmts"]),
    ("Statement", "Statement.fn", ["ident", "item"], ["name", "function"]),
    ("Quarn", "Quarn", [], []),
    ("run", "q.run", ["stmts"], ["stmts"]),
    ("run", "q.run", ["stmts"], ["stmts"]),
    ("run", "q.run", ["stmts"], ["stmts"]),
    ("get", "q.get", ["ident"], ["name"]),
    ("repr", "Quarn.__repr__", ["self"], ["machine"]),
    ("run", "Quarn.run", ["self", "stmts"], ["machine", "stmts"]),
    ("get", "Quarn.get", ["self", "ident"], ["machine", "name"]),
    ("update", "q.update", ["bindings"], ["bindings"]),
    ("many", "q.run_many", ["stmts", "rows"], ["stmts", "rows"]),
    ("many", "_many", ["m", "stmts", "rows", "inputs", "outputs", "errors"],
     ["machine", "stmts", "rows", "names", "names", "errors"]),
    ("columns", "_columns", ["m", "stmts", "columns", "outputs", "inputs", "errors"],
     ["machine", "stmts", "columns", "names", "names", "errors"]),
    ("names", "q.names", [], []),
    ("in", "q.__contains__", ["ident"], ["name"]),
    ("len", "len", ["obj"], ["machine"]),
    ("copy", "_pickled", ["obj"], ["expr"]),
    ("copy", "_pickled", ["obj"], ["machine"]),
]


def argument(sn, maker, depth):
    src = sn.src
    if src.chance(40):
        return any_code(sn, depth)
    if maker == "value":
        return value_code(sn, depth)
    if maker == "name":
        return name_code(sn)
    if maker == "expr":
        return expr_code(sn, depth)
    if maker == "op":
        return src.pick(OPERATORS)
    if maker in ("exprs", "stmts"):
        make = expr_code if maker == "exprs" else stmt_code
        items = ", ".join(make(sn, depth) for _ in range(src.below(5)))
        if src.chance(40):
            return housed(sn, items)  # its callbacks' _wreck() may change it while it runs
        return src.pick([f"[{items}]", f"({items},)" if items else "()", f"_fill(box, [{items}])", f"L([{items}])"])
    if maker == "function":
        return callback(sn, depth)
    if maker in ("bindings", "rows", "names", "errors"):
        return batch_argument(sn, maker, depth)
    if maker == "columns":
        return columns_argument(sn, depth)
    return src.pick(["q", "q", "Quarn()", "object.__new__(Quarn)", "5", "None"]).replace(
        "object.__new__(Quarn)", "None" if avoided("object_new_quarn") else "object.__new__(Quarn)")


def batch_argument(sn, maker, depth):
    """What update and run_many take: pairs, rows of values or of pairs,
    lists of names, and the errors mode."""
    src = sn.src
    if maker == "errors":
        return src.pick(['"raise"', '"return"', '"return"', "None", '"ignore"'])
    if maker == "names":
        if src.chance(80):
            return housed(sn, ", ".join(item_or_tenant(sn, lambda: name_code(sn)) for _ in range(1 + src.below(3))))
        return src.pick(["None", "()", f"[{name_code(sn)}]", f"({name_code(sn)}, {name_code(sn)})", "'xy'"])
    if src.chance(80):
        return housed_batch(sn, maker, depth)
    pairs = ", ".join(f"({name_code(sn)}, {value_code(sn, depth)})" for _ in range(src.below(4)))
    if maker == "bindings":
        return src.pick([f"[{pairs}]", f"_mapping([{pairs}])", f"iter([{pairs}])", f"_fill(box, [{pairs}])"])
    row = lambda: "(" + "".join(value_code(sn, depth) + ", " for _ in range(src.below(3))) + ")"
    rows = ", ".join(row() if src.chance(160) else f"[{pairs}]" for _ in range(src.below(6)))
    return src.pick([f"[{rows}]", f"iter([{rows}])", f"({rows},)" if rows else "()", f"[{rows}] * 300"])


def columns_argument(sn, depth):
    """What run_columns takes: a mapping of names to columns, each a list of
    values (housed, so that its items may change it), a buffer of numbers
    or one whose items do not fit it; or anything else."""
    src = sn.src
    if src.chance(40):
        return batch_argument(sn, "rows", depth)
    values = lambda: ", ".join(item_or_tenant(sn, lambda: value_code(sn, depth)) for _ in range(src.below(5)))

    def column():
        shape = src.below(6)
        if shape == 0:
            return housed(sn, values())
        if shape == 1:
            return f"_array({src.pick(['q', 'd', 'b', 'Q'])!r}, [{values()}])"
        if shape == 2:
            return f"_array('d', [{values()}], view=True)"
        return src.pick([f"[{values()}]", f"[{values()}]", "iter([1, 2])"])

    pairs = ", ".join(f"({name_code(sn)}, {column()})" for _ in range(src.below(4)))
    return src.pick([f"_mapping([{pairs}])", f"_mapping([{pairs}])", housed(sn, pairs, "dict")])


def housed_batch(sn, maker, depth):
    """Bindings or rows whose items, or whose items' items, turn on them: a
    pair, a row, a name or a value that empties the list it came from, a
    mapping whose keys() or __getitem__ changes it."""
    src = sn.src
    value = lambda: item_or_tenant(sn, lambda: value_code(sn, depth))
    name = lambda: item_or_tenant(sn, lambda: name_code(sn))
    pair = lambda: src.pick([f"({name()}, {value()})", f"_house([{name()}, {value()}])", tenant(sn, 0)])
    pairs = ", ".join(pair() for _ in range(1 + src.below(3)))
    if maker == "bindings":
        return housed(sn, pairs, src.pick(["list", "dict"]))
    row = lambda: src.pick([
        "(" + "".join(value() + ", " for _ in range(src.below(3))) + ")",
        "_house([" + ", ".join(value() for _ in range(src.below(3))) + "])",
        housed(sn, pairs, src.pick(["list", "dict"])),
        tenant(sn, 0),
    ])
    return housed(sn, ", ".join(row() for _ in range(1 + src.below(4))))


def plain(code):
    """Code that only makes an object, without calling velmo or the snippet's
    callbacks, so it can be made before the call and watched."""
    return re.search(r"Expr|Statement|Quarn|\bq\b|\bx\b|_panic", code) is None


def arguments(sn, params, codes):
    """The argument list of a call, by position, by keyword or wrongly."""
    src = sn.src
    mode = src.below(16)
    if mode < 10 or not params:
        text = codes
    elif mode < 13:
        cut = src.below(len(params) + 1)
        text = codes[:cut] + [f"{p}={c}" for p, c in zip(params[cut:], codes[cut:])]
    elif mode == 13:
        text = codes + [any_code(sn, 0)]
    elif mode == 14:
        text = codes[:src.below(len(codes))]
    else:
        text = codes + [src.pick([f"{params[0]}=None", "zz=1", "**{'q' + 'x': 1}"])]
    return ", ".join(text)


def entry(sn):
    """Emits one call of a velmo entry point through the prelude's call()."""
    src = sn.src
    kind, callee, params, makers = src.pick(ENTRIES)
    depth = 1 + src.below(3)
    codes, watched = [], []
    for maker in makers:
        code = argument(sn, maker, depth)
        if plain(code) and code not in PLAIN_VALUES and code not in NAMES:
            var = sn.name("a")
            sn.emit(f"{var} = {code}")
            watched.append(var)
            code = var
        codes.append(code)
    if callee == "q.run" and src.chance(40):
        sn.emit("holder[:] = [q]")
    sn.emit(f"call({kind!r}, lambda: {callee}({arguments(sn, params, codes)}), {', '.join(watched)})")


def snippet(data):
    sn = Snippet(Source(data))
    sn.stash = False
    sn.emit("q = Quarn()")
    sn.emit("holder.append(q)")
    for _ in range(1 + sn.src.below(8)):
        entry(sn)
    sn.emit("survives(q)")
    head = "WATCH = False" if sn.stash else "WATCH = True"
    return head + "\n" + sn.text()


def reproducer(data):
    return PRELUDE + "\n" + snippet(data)
