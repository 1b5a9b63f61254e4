#pragma once
// Binding names to values handed in from outside a program: how a host gives
// a rule set the fields of one record, without building a tree per field.
// It is done as a run of `let` statements of literal values would do it.

#include <span>

#include "quarn/binding.hpp"
#include "quarn/budget.hpp"
#include "quarn/identifier.hpp"
#include "quarn/machine.hpp"
#include "quarn/value.hpp"

namespace quarn {

struct Assignment {
    IdentifierView name;  // valid for the whole call
    // The name's binding in the machine's table when the caller knows it
    // (bindings stay put), else null; set to it once the name is bound.
    const Binding* binding;
    Value value;  // taken by the binding
};

// Binds each name in order, as one run: two operations each (a let and its
// literal) against the machine's operation limit, and every value checked
// against its size limit. Stops with a fatal error at the first that fails;
// the ones bound before it stay.
void assign(Machine& machine, std::span<Assignment> assignments);
// The same within a budget that the caller holds for more work as one run.
void assign(Machine& machine, std::span<Assignment> assignments, Budget& budget);

}  // namespace quarn
