#pragma once
// The flat form of an expression: one instruction per node, each node's
// operands before the node itself, in the order a recursive evaluation would
// finish them. A loop runs it over a stack of values, with no pending work of
// its own and no recursion. Trees never change, so a statement's expression
// is flattened once, on its first run, and the form is kept with it.
//
// A subtree that a tree uses in several places (a tree may share its own
// subtrees) is flattened once, into a block of its own that the places enter
// and leave, so the form stays as small as the tree, not as large as the tree
// written out.

#include <cstdint>
#include <memory>
#include <vector>

#include "quarn/tree.hpp"

namespace quarn::detail {

enum class Op : std::uint8_t {
    Literal,  // push the literal `Value` at ref
    Lookup,   // push the value bound to the `Name` at ref
    Arith,    // the `PairNode` at ref, a BinaryOp of `count` (an Operator) other than Div
    Pair,     // apply the `PairNode` at ref to the top two values
    Not,      // negate the top value
    Call,     // call the function named by the `CallNode` at ref with the top value
    Vector,   // replace the top `count` values by one vector of them
    Block,    // run block `count`, which leaves one value
};

struct Instruction {
    Op op;
    std::uint32_t count;
    const void* ref;
};

struct Code {
    // Block 0 is the whole expression.
    std::vector<std::vector<Instruction>> blocks;
};

std::unique_ptr<Code> compile(const ExprNode& root);

}  // namespace quarn::detail
