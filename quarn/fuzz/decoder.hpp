#pragma once
// Turns fuzz bytes into programs. The bytes are read as a stack machine:
// each opcode byte (taken modulo the number of opcodes) is followed by its
// operand bytes, and missing bytes read as zero. A count is two bytes,
// little-endian: n % 1024 for n below 0xC000, else (n & 0x3FFF) * 4. Values, expressions and
// statements are built on three stacks, so an opcode can reuse anything
// built earlier: a node used several times, in several places and in several
// programs, is the same node. One opcode repeats the last wrapping step
// (not, call, an operator with a fixed other side, a vector around the
// node, an if around a statement) thousands of times from two bytes.
//
// make_corpus.py writes inputs in this encoding; keep the two in step.

#include <cstdint>
#include <cstdio>
#include <span>

#include "fuzz_context.hpp"

namespace quarn::fuzz {

enum class Op : std::uint8_t {
    // values: push onto the value stack
    Null,           //
    Boolean,        // b: b & 1
    SmallInt,       // b: signed byte
    EdgeInt,        // i: one of the integer edge cases
    RawInt,         // 8 bytes, little-endian
    EdgeReal,       // i: NaNs, infinities, -0.0, subnormals, limits
    RawReal,        // 8 bytes of IEEE bits, little-endian
    Text,           // n, then n bytes
    EdgeText,       // i: NUL, invalid UTF-8, escapes, unprintables
    VectorValue,    // n: the top n values, bottom first
    FunctionValue,  // behaviour, param, name; Constant takes the top value
    WrapValue,      // count n: the top value inside n nested vectors
    CopyValue,      // k: the k-th value from the top, shared
    // expressions: push onto the expression stack
    Literal,      // pops a value
    Ident,        // name
    BinaryOp,     // b: operator b & 3; b & 4 repeats on the right side
    Equals,       // b: b & 4 repeats on the right side
    Not,          //
    GreaterThan,  // b: as Equals
    LessThan,     // b: as Equals
    Call,         // name; pops the argument
    VectorExpr,   // n: the top n expressions, bottom first
    CopyExpr,     // k: the k-th expression from the top, shared
    Repeat,       // count n: the last wrapping step n more times
    // statements: append to the list being built
    Let,              // name; pops an expression
    Fn,               // name; binds a clone of the top function value (popped), or a new Identity
    If,               // pops the condition; opens the then list
    Else,             // switches to the otherwise list
    End,              // closes the innermost if
    RepeatStatement,  // count n: the last statement n more times
    NestStatement,    // count n, b: the last statement inside n ifs on the top expression
    EndProgram,       // closes the program; the next statements start another
    LetMany,          // count n, b: n lets of names outside the pool (b & 1: texts) to the top expression
    Count,
};

struct Verdict {
    bool bounded = false;     // false: running it could take too long, so it is skipped
    std::uint64_t work = 0;   // a bound on the work of every run the harness makes
};

// Decodes into context.programs (programs[0] is the main program) and
// context.results; with a trace file, writes a readable listing of every step to it.
Verdict decode(std::span<const std::uint8_t> bytes, Context& context, std::FILE* trace);

}  // namespace quarn::fuzz
