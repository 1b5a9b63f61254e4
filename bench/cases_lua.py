"""The workloads in Lua 5.4 through lupa: the source text made once, then
loaded and run on every run (the counterpart of a fresh compile per run).
Lua 5.4's integers are 64-bit and wrap, and an int and a float mix to a
float, as in Quarn. The run workloads take the runtime and the runner, so
that cases_lua_once can compile once."""
from lupa import lua54

from workloads import (BIG_N, DONE, IF_DEPTH, INT_NAME, INT_VALUE, LEAVES, LIST_VALUE, STATEMENTS,
                       TREE_NODES, X_VALUE, Case, repeat_calls, repeat_runs)

LuaRuntime = lua54.LuaRuntime


def balanced(leaf):
    level = [leaf(i) for i in range(LEAVES)]
    while len(level) > 1:
        level = ["(%s+%s)" % (level[i], level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def w1():
    lua = LuaRuntime()
    texts = []

    def loop(reps):
        for _ in range(reps):
            texts[:] = [balanced(str)]

    return Case(TREE_NODES, loop, lambda: lua.eval(texts[0]))


def loaded_per_run(lua, source):
    """A run: the source loaded, then run."""
    return lambda: lua.execute(source)


def compiled_once(lua, source):
    """A run: a call of the function that the source was compiled into beforehand."""
    return lua.compile(source)


def run_case(source, units, read, setup="", runtime=LuaRuntime, runner=loaded_per_run, bound=None):
    """A case running `source` on a fresh runtime after `setup`, with the
    globals `bound` set from Python."""
    lua = runtime()
    lua.execute(setup)
    g = lua.globals()
    for name, value in (bound or {}).items():
        g[name] = value
    return repeat_runs(runner(lua, source), units, lambda: read(g))


def w2(**how):
    return run_case("r = " + balanced(str), TREE_NODES, lambda g: g.r, **how)


def w2b(**how):
    tree = balanced(lambda i: "x" if i % 2 else str(i))
    return run_case("r = " + tree, TREE_NODES, lambda g: g.r, "x = %d" % X_VALUE, **how)


def w3(**how):
    lines = ["x0 = 0"] + ["x%d = x%d + 1" % (i, i - 1) for i in range(1, STATEMENTS)]
    return run_case("\n".join(lines), STATEMENTS, lambda g: g["x%d" % (STATEMENTS - 1)], **how)


def plus_one(a):
    return a + 1


def w4(**how):
    source = "\n".join("y%d = f(%d)" % (i, i) for i in range(STATEMENTS))
    read = lambda g: (g.y0, g["y%d" % (STATEMENTS - 1)])
    return run_case(source, STATEMENTS, read, bound={"f": plus_one}, **how)


def bound_globals():
    lua = LuaRuntime()
    items = ", ".join(map(str, LIST_VALUE))
    lua.execute("n = %d; _G[%d] = %d; lst = {%s}" % (INT_VALUE, INT_NAME, INT_VALUE, items))
    return lua.globals()


def w5i():
    return repeat_calls("g.n", {"g": bound_globals()})


def w5i_int():
    return repeat_calls("g[%d]" % INT_NAME, {"g": bound_globals()})


def w5l():
    return repeat_calls("list(g.lst.values())", {"g": bound_globals()})


def w6(**how):
    # Lua's parser refuses 200 nested blocks; elseif is the same test chain.
    tests = ["if n < 0 then"] + ["elseif n < %d then" % i for i in range(1, IF_DEPTH)]
    source = "\n".join(tests) + "\nelse done = %d end" % DONE
    return run_case(source, IF_DEPTH, lambda g: g.done, "n = %d" % BIG_N, **how)


def w7(**how):
    source = 'a = ""\n' + '\na = a .. "x"' * STATEMENTS
    return run_case(source, STATEMENTS, lambda g: g.a, **how)
