"""The run workloads in Lua compiled once: the source compiled into a Lua
function beforehand, which every run calls. On LuaJIT 2.1 where the lupa
wheel has it, as it has on x86-64 Linux, else on Lua 5.4. LuaJIT's numbers
are doubles, which hold every number of these workloads exactly."""
import cases_lua
from cases_lua import compiled_once

try:
    from lupa import luajit21 as lua
except ImportError:
    from lupa import lua54 as lua

HOW = {"runtime": lua.LuaRuntime, "runner": compiled_once}


def implementation():
    """The Lua this column runs, as it names itself ("LuaJIT 2.1.x")."""
    return lua.LuaRuntime().lua_implementation


def w2():
    return cases_lua.w2(**HOW)


def w2b():
    return cases_lua.w2b(**HOW)


def w3():
    return cases_lua.w3(**HOW)


def w4():
    return cases_lua.w4(**HOW)


def w6():
    return cases_lua.w6(**HOW)


def w7():
    return cases_lua.w7(**HOW)
