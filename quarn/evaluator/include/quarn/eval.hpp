#pragma once
// Running programs. Evaluation keeps its pending work on the heap, never on
// the machine stack, so a program of any depth runs on a constant amount of
// stack, and a function called at the bottom of a deep tree has nearly all of
// its thread's stack to itself.
//
// A run counts its operations against the machine's limits (machine.hpp) and
// stops with a fatal error past them; every so many operations it also looks
// for an interruption (meter.hpp).

#include <span>

#include "quarn/budget.hpp"
#include "quarn/failure_site.hpp"
#include "quarn/machine.hpp"
#include "quarn/tree.hpp"

namespace quarn {

// Runs the statements in order, as one run. Stops with a Fatal error at the
// first failure; bindings made before it stay in the machine. Whatever stops
// the run (a host's exception too) names the statement it stopped in in
// `site`, when given.
void run(Machine& machine, std::span<const Statement* const> statements, FailureSite* site = nullptr);
// The same within a budget that the caller holds for more work as one run.
void run(Machine& machine, std::span<const Statement* const> statements, FailureSite* site, Budget& budget);
void run(Machine& machine, const Program& statements);
void run(Machine& machine, const Statement& statement);

// Evaluates an expression to a value, as one run.
Value evaluate(Machine& machine, const Expr& expr);

}  // namespace quarn
