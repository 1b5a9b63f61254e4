#pragma once
// Running programs: statements and expressions, each consumed as it runs.

#include "quarn/machine.hpp"
#include "quarn/tree.hpp"

namespace quarn {

// Runs the statements in order, consuming them. Stops with a Fatal error at
// the first failure; bindings made before it stay in the machine.
void deduce(const Machine& machine, Program statements);

// Evaluates an expression, consuming it; the result is a shared value.
Shared deduce_expr(const Machine& machine, Expr expr);

}  // namespace quarn
