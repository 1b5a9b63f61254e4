"""The run workloads in Lua compiled once: the source compiled into a Lua
function beforehand, which every run calls. On LuaJIT 2.1 where the lupa
wheel has it, as it has on x86-64 Linux, else on Lua 5.4. LuaJIT's numbers
are doubles, which hold every number of these workloads exactly."""
import cases_lua
from cases_lua import compiled_once
from records import record_case

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


# W8's rules as a Lua function of the record's three fields, returning both results.
W8_SOURCE = """
local tier, weight, subtotal = ...
local shipping = weight * 0.5 + 4.0
local rate
if tier == "gold" then rate = 0.9 else rate = 1.0 end
local total = subtotal * rate + shipping
local label
if total > 100.0 then label = "large" else label = "small" end
return total * 1.2, label
"""


def w8():
    """The function compiled once and called per record; lupa turns its two
    results into a tuple."""
    rules = lua.LuaRuntime().compile(W8_SOURCE)
    return record_case(lambda records: [rules(tier, weight, subtotal) for tier, weight, subtotal in records])
