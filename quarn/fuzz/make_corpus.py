#!/usr/bin/env python3
"""Writes the seed corpus and the dictionary of the core fuzz target.

The encoding is the one decoder.hpp describes: an opcode byte (the index in
OPS below, which follows the order of the Op enumeration) and its operand
bytes. Each seed is a small program that reaches one part of the core, so the
fuzzer starts from inputs that already run every opcode.

    python3 quarn/fuzz/make_corpus.py   # rewrites quarn/fuzz/corpus/ and core.dict
"""

import pathlib
import struct

OPS = [
    "Null", "Boolean", "SmallInt", "EdgeInt", "RawInt", "EdgeReal", "RawReal", "Text", "EdgeText",
    "VectorValue", "FunctionValue", "WrapValue", "CopyValue",
    "Literal", "Ident", "BinaryOp", "Equals", "Not", "GreaterThan", "LessThan", "Call", "VectorExpr",
    "CopyExpr", "Repeat",
    "Let", "Fn", "If", "Else", "End", "RepeatStatement", "NestStatement", "EndProgram", "LetMany",
]
OP = {name: i for i, name in enumerate(OPS)}
BEHAVIOURS = ["Identity", "Constant", "Wrap", "Huge", "SelfClone", "Fail", "Reenter", "Rebind", "Pair"]
BEHAVIOUR = {name: i for i, name in enumerate(BEHAVIOURS)}
ADD, SUB, MUL, DIV = range(4)
RIGHT = 4  # the repeated node goes on the right
# Pool indices: U(0), U(1), U(2^64-1), S(""), S("x"), S("1"), S(odd but UTF-8), S(not UTF-8).
U0, U1, UMAX, EMPTY, X, ONE, ODD, BROKEN = range(8)


def encode_count(n):
    """Two bytes the decoder reads as the count n (rounded down to a multiple of 4 past 1023)."""
    if n < 1024:
        return struct.pack("<H", n)
    return struct.pack("<H", 0xC000 | min(n // 4, 0x3FFF))


class Program:
    """Emits opcodes; each method is one opcode with its operands."""

    def __init__(self):
        self.out = bytearray()

    def op(self, name, *operands):
        self.out.append(OP[name])
        self.out.extend(operands)
        return self

    def u16(self, name, n, *more):
        return self.op(name, *encode_count(n), *more)

    def null(self): return self.op("Null")
    def boolean(self, b): return self.op("Boolean", int(b))
    def small(self, n): return self.op("SmallInt", n & 0xFF)
    def edge_int(self, i): return self.op("EdgeInt", i)
    def raw_int(self, n): return self.op("RawInt", *struct.pack("<q", n))
    def edge_real(self, i): return self.op("EdgeReal", i)
    def raw_real(self, x): return self.op("RawReal", *struct.pack("<d", x))
    def text(self, data): return self.op("Text", len(data), *data)
    def edge_text(self, i): return self.op("EdgeText", i)
    def vector_value(self, n): return self.op("VectorValue", n)
    def function(self, behaviour, param=0, name=X): return self.op("FunctionValue", BEHAVIOUR[behaviour], param, name)
    def wrap_value(self, n): return self.u16("WrapValue", n)
    def copy_value(self, k): return self.op("CopyValue", k)
    def lit(self): return self.op("Literal")
    def ident(self, name): return self.op("Ident", name)
    def binop(self, operator, flags=0): return self.op("BinaryOp", operator | flags)
    def equals(self, flags=0): return self.op("Equals", flags)
    def not_(self): return self.op("Not")
    def gt(self, flags=0): return self.op("GreaterThan", flags)
    def lt(self, flags=0): return self.op("LessThan", flags)
    def call(self, name): return self.op("Call", name)
    def vector(self, n): return self.op("VectorExpr", n)
    def copy(self, k=0): return self.op("CopyExpr", k)
    def repeat(self, n): return self.u16("Repeat", n)
    def let(self, name): return self.op("Let", name)
    def fn(self, name): return self.op("Fn", name)
    def if_(self): return self.op("If")
    def else_(self): return self.op("Else")
    def end(self): return self.op("End")
    def repeat_statement(self, n): return self.u16("RepeatStatement", n)
    def nest(self, n, flags=0): return self.u16("NestStatement", n, flags)
    def end_program(self): return self.op("EndProgram")
    def let_many(self, n, texts=False): return self.u16("LetMany", n, int(texts))

    # shorthands
    def let_int(self, name, n): return self.small(n).lit().let(name)
    def int_lit(self, n): return self.small(n).lit()


def seeds():
    s = {}
    p = Program()
    p.null().lit().let(U0).boolean(True).lit().let(U1).edge_int(0).lit().let(UMAX)
    p.edge_real(7).lit().let(EMPTY).text(b"hello").lit().let(X).small(-5).lit().let(ONE)
    s["scalars"] = p

    for i, name in enumerate(["int_edges", "more_int_edges", "int_edges_3"]):
        p = Program()
        for k in range(6):
            p.edge_int(6 * i + k).lit().let(k)
        s[name] = p

    for i in range(3):
        p = Program()
        for k in range(8):
            p.edge_real(8 * i + k).lit().let(k)
        p.raw_real(-0.0).lit().let(7)
        s[f"real_edges_{i}"] = p

    for i in range(3):
        p = Program()
        for k in range(8):
            p.edge_text(8 * i + k).lit().let(k)
        s[f"text_edges_{i}"] = p

    for operator, name in [(ADD, "add"), (SUB, "sub"), (MUL, "mul"), (DIV, "div")]:
        p = Program()
        p.edge_int(1).lit().edge_int(6).lit().binop(operator).let(X)     # MAX op 1
        p.edge_int(0).lit().edge_int(5).lit().binop(operator).let(ONE)   # MIN op -1
        p.small(7).lit().small(0).lit().binop(operator).let(EMPTY)       # by zero
        p.edge_real(0).lit().edge_real(6).lit().binop(operator).let(U0)  # NaN, 0.0
        p.small(3).lit().edge_real(4).lit().binop(operator).let(U1)      # int, inf
        p.text(b"ab").lit().text(b"\xc3\xa9").lit().binop(operator).let(UMAX)
        s[f"arith_{name}"] = p

    p = Program()
    p.small(1).lit().edge_real(21).lit().equals().let(X)            # Int(1) == Float(1.0)
    p.edge_real(0).lit().copy().equals().let(ONE)                    # NaN == NaN
    p.edge_real(6).lit().edge_real(7).lit().gt().let(U0)             # 0.0 > -0.0
    p.edge_real(0).lit().edge_real(4).lit().lt().let(U1)             # NaN < inf
    p.text(b"a").lit().small(1).lit().equals().let(EMPTY)            # mixed kinds: fails
    s["compare"] = p

    p = Program()
    p.null().lit().small(1).lit().equals().let(X)
    p.boolean(True).lit().null().lit().equals().let(ONE)
    p.small(1).lit().gt().let(U0)
    s["compare_null"] = p

    p = Program()
    p.boolean(False).lit().not_().let(X).small(1).lit().not_().let(ONE)
    s["not"] = p

    p = Program()
    p.small(1).edge_real(0).text(b"t").null().vector_value(4).boolean(True).vector_value(2).copy_value(0)
    p.vector_value(2).lit().copy().equals().let(X)
    p.ident(X).int_lit(2).ident(ONE).vector(3).let(ONE)
    s["vectors"] = p

    p = Program()
    p.small(1).edge_real(0).vector_value(2).lit().copy().equals().let(X)  # NaN inside: unequal
    p.small(1).vector_value(1).lit().small(1).small(2).vector_value(2).lit().equals().let(ONE)
    s["vector_equality"] = p

    p = Program().boolean(True).lit().not_().repeat(50000).let(X)
    s["deep_not"] = p
    p = Program().int_lit(0).int_lit(1).binop(ADD).repeat(50000).let(X)
    s["deep_add"] = p
    p = Program().int_lit(0).int_lit(1).binop(SUB, RIGHT).repeat(30000).let(X)
    s["deep_sub_right"] = p
    p = Program().int_lit(7).vector(1).repeat(40000).let(X).ident(X).copy().equals().let(ONE)
    s["deep_vector_expr"] = p
    p = Program().fn(X).int_lit(1).call(X).repeat(20000).let(ONE)
    s["deep_calls"] = p
    p = Program().boolean(True).lit().copy().equals().repeat(20000).let(X)
    s["deep_equals"] = p
    p = Program().int_lit(1).int_lit(2).lt().int_lit(0).gt(RIGHT).repeat(1000).let(X)
    s["comparison_chain"] = p
    p = Program().int_lit(5).let(X).boolean(True).lit().nest(30000)
    s["deep_if"] = p
    p = Program().boolean(False).lit().int_lit(5).let(X).nest(20000, 1)
    s["deep_if_otherwise"] = p
    p = Program().small(9).wrap_value(50000).lit().let(X).ident(X).ident(X).equals().let(ONE)
    s["deep_value"] = p
    p = Program().int_lit(1).let(X).repeat_statement(2000)
    s["repeat_statement"] = p

    p = Program()
    p.boolean(True).lit().if_().int_lit(1).let(X).else_().int_lit(2).let(X).end()
    p.small(3).lit().if_().int_lit(1).let(ONE).end()  # not a boolean: fails
    s["if_else"] = p
    p = Program()
    p.boolean(False).lit().if_().boolean(True).lit().if_().int_lit(1).let(X).end().else_()
    p.int_lit(2).let(X).end()
    s["nested_if"] = p

    for b in BEHAVIOURS:
        p = Program()
        if b == "Constant":
            p.small(4).text(b"c").vector_value(2)
        p.function(b, 3, X).fn(X).int_lit(1).call(X).let(ONE).ident(ONE).ident(ONE).equals().let(U0)
        s[f"function_{b.lower()}"] = p

    p = Program()
    p.function("Rebind", 2, X).fn(X).int_lit(1).call(X).let(ONE).int_lit(2).call(X).let(U0)
    s["rebind_clone"] = p
    p = Program()
    p.function("Rebind", 4 | 3, X).fn(X).int_lit(1).call(X).let(ONE).int_lit(2).call(X).let(U0)
    s["rebind_by_program"] = p
    p = Program()
    p.function("Rebind", 4 | 2, X).fn(X).int_lit(1).call(X).call(X).call(X).let(ONE)
    s["rebind_fn_statement"] = p

    p = Program()
    p.int_lit(1).let(ONE).function("Reenter", 8, X).fn(X).int_lit(1).call(X).let(U1).end_program()
    p.ident(ONE).int_lit(1).binop(ADD).let(ONE).int_lit(5).call(X).let(U0).end_program()
    p.ident(ONE)
    s["reenter"] = p
    p = Program()
    p.function("Reenter", 9, X).fn(X).function("Fail", 9, U1).fn(U1).int_lit(1).call(X).let(ONE).end_program()
    p.int_lit(0).call(U1).let(U0).end_program().ident(U0)
    s["reenter_failing"] = p

    p = Program()
    p.function("Huge", 18, X).fn(X).null().lit().call(X).let(ONE).ident(ONE).copy().binop(ADD).let(U0)
    s["huge_text"] = p
    p = Program()
    p.function("Huge", 0x20 | 10, X).fn(X).null().lit().call(X).let(ONE)
    s["huge_broken_text"] = p
    p = Program()
    p.function("Wrap", 250, X).fn(X).int_lit(1).call(X).let(ONE).ident(ONE).ident(ONE).equals().let(U0)
    s["wrap_deep"] = p
    p = Program()
    p.function("Pair", 0, X).fn(X).int_lit(1).call(X).repeat(12).let(ONE)
    s["pair_doubling"] = p

    p = Program()
    p.function("Identity", 0, X).lit().let(X).int_lit(3).call(X).let(ONE)  # a function held in a literal
    p.function("SelfClone", 1, U0).function("Fail", 2, U1).vector_value(2).lit().let(U0)
    p.ident(U0).copy().equals().let(U1)  # functions in vectors: equality fails
    s["function_literals"] = p

    p = Program()
    p.ident(X).let(ONE).int_lit(1).call(ONE).let(U0)  # unbound name; calling a non-function
    s["unbound"] = p
    p = Program()
    p.int_lit(1).let(ONE).int_lit(2).call(ONE).let(U0)
    s["call_non_function"] = p

    p = Program()
    p.text(b"\xff\xfe").lit().let(BROKEN).edge_text(5).lit().let(ODD).ident(BROKEN).ident(ODD).binop(ADD).let(EMPTY)
    s["broken_names"] = p

    p = Program()
    p.int_lit(1).int_lit(2).binop(ADD).copy().copy().binop(MUL).let(X).end_program()
    p.copy(0).let(ONE).end_program().copy(0)
    s["shared_across_programs"] = p

    p = Program()
    p.text(b"ab").lit().let(X).ident(X).copy().binop(ADD).let(X).repeat_statement(70)  # doubling text: refused as too much work
    s["doubling_refused"] = p

    p = Program()
    p.text(b"ab").lit().let(X).ident(X).ident(X).binop(ADD).let(ONE).ident(ONE).ident(X).binop(ADD).let(U0)
    s["concat"] = p

    p = Program()
    p.int_lit(2).let(X).int_lit(1).let_many(300).ident(X).let_many(300, texts=True)
    s["many_names"] = p
    p = Program()
    p.text(b"v").lit().let_many(5000, texts=True).ident(ONE).let(X)
    s["many_text_names"] = p
    return s


DICTIONARY = {
    "repeat_50000": bytes([OP["Repeat"]]) + encode_count(50000),
    "repeat_20000": bytes([OP["Repeat"]]) + encode_count(20000),
    "nest_30000": bytes([OP["NestStatement"]]) + encode_count(30000) + b"\x00",
    "wrap_value_40000": bytes([OP["WrapValue"]]) + encode_count(40000),
    "repeat_statement_1000": bytes([OP["RepeatStatement"]]) + encode_count(1000),
    "int_min": bytes([OP["EdgeInt"], 0]),
    "minus_one": bytes([OP["EdgeInt"], 5]),
    "nan": bytes([OP["EdgeReal"], 0]),
    "minus_zero": bytes([OP["EdgeReal"], 7]),
    "end_program": bytes([OP["EndProgram"]]),
    "let_many_500": bytes([OP["LetMany"]]) + encode_count(500) + b"\x00",
    "if_else_end": bytes([OP["If"], OP["Else"], OP["End"]]),
}
for b, i in BEHAVIOUR.items():
    DICTIONARY[f"function_{b.lower()}"] = bytes([OP["FunctionValue"], i, 3, X, OP["Fn"], X])


def dict_entry(data):
    return '"' + "".join(f"\\x{byte:02x}" for byte in data) + '"'


def main():
    here = pathlib.Path(__file__).resolve().parent
    corpus = here / "corpus"
    corpus.mkdir(exist_ok=True)
    for old in corpus.iterdir():
        old.unlink()
    for name, program in seeds().items():
        (corpus / name).write_bytes(bytes(program.out))
    lines = [f"{name}={dict_entry(data)}" for name, data in DICTIONARY.items()]
    (here / "core.dict").write_text("# Opcode sequences of the core fuzz target (make_corpus.py).\n" + "\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
