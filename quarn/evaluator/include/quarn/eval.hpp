#pragma once
// Running programs. Evaluation keeps its pending work on the heap, never on
// the machine stack, so a program of any depth runs on a constant amount of
// stack, and a function called at the bottom of a deep tree has nearly all of
// its thread's stack to itself.
//
// A run counts its operations against the machine's limits (machine.hpp) and
// stops with a fatal error past them; every so many operations it also looks
// for an interruption (meter.hpp).

#include <memory>
#include <span>

#include "quarn/budget.hpp"
#include "quarn/failure_site.hpp"
#include "quarn/machine.hpp"
#include "quarn/tree.hpp"

namespace quarn {

namespace detail {
struct Unit;
class Frame;
}  // namespace detail

// Runs the statements in order, as one run. Stops with a Fatal error at the
// first failure; bindings made before it stay in the machine. Whatever stops
// the run (a host's exception too) names the statement it stopped in in
// `site`, when given.
//
// A program runs statement by statement the first time; run again (the
// same statements, by identity), it runs as one unit, compiled then and kept
// with its first statement (see the evaluator). Both ways do the same.
void run(Machine& machine, std::span<const Statement* const> statements, FailureSite* site = nullptr);
// The same within a budget that the caller holds for more work as one run.
void run(Machine& machine, std::span<const Statement* const> statements, FailureSite* site, Budget& budget);
void run(Machine& machine, const Program& statements);
void run(Machine& machine, const Statement& statement);

// A program that a caller runs many times on one machine, as a batch runs
// its program once per row: its unit, and the bindings of the unit's names,
// are found once rather than at every run. Each run is a run of `run`
// above. The statements and the machine must outlive it.
class PreparedProgram {
public:
    PreparedProgram(Machine& machine, std::span<const Statement* const> statements) noexcept;
    ~PreparedProgram();
    PreparedProgram(const PreparedProgram&) = delete;
    PreparedProgram& operator=(const PreparedProgram&) = delete;

    void run(FailureSite* site, Budget& budget);

private:
    Machine& machine_;
    std::span<const Statement* const> statements_;
    const detail::Unit* unit_ = nullptr;
    std::unique_ptr<detail::Frame> frame_;
    int asked_ = 0;  // for its unit
};

// Evaluates an expression to a value, as one run.
Value evaluate(Machine& machine, const Expr& expr);

}  // namespace quarn
