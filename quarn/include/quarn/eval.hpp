#pragma once
// Running programs. Evaluation keeps its pending work on the heap, never on
// the machine stack, so a program of any depth runs on a constant amount of
// stack, and a function called at the bottom of a deep tree has nearly all of
// its thread's stack to itself.

#include <span>

#include "quarn/machine.hpp"
#include "quarn/tree.hpp"

namespace quarn {

// Runs the statements in order. Stops with a Fatal error at the first
// failure; bindings made before it stay in the machine.
void deduce(Machine& machine, const Program& statements);
// Runs one statement.
void deduce(Machine& machine, const Statement& statement);
// Runs statements that the caller holds some other way, in order, as one
// run.
void deduce(Machine& machine, std::span<const Statement* const> statements);

// Evaluates an expression to a value.
Value deduce_expr(Machine& machine, const Expr& expr);

}  // namespace quarn
