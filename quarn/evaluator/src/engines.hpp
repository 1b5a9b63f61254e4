#pragma once
// The two ways a program runs (see eval.cpp), each on its own, for tests and
// fuzzers that check that they do the same: statement by statement, each
// statement by its own form; and as one unit, compiled for the call and
// dropped after it, its names in slots of the call's own.

#include <span>

#include "quarn/budget.hpp"
#include "quarn/failure_site.hpp"
#include "quarn/machine.hpp"
#include "quarn/tree.hpp"

namespace quarn::detail {

void run_by_statements(Machine& machine, std::span<const Statement* const> statements, FailureSite* site,
                       Budget& budget);
void run_as_unit(Machine& machine, std::span<const Statement* const> statements, FailureSite* site, Budget& budget);

}  // namespace quarn::detail
