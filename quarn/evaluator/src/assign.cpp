#include "quarn/assign.hpp"

#include "quarn/budget.hpp"
#include "size_limit.hpp"

namespace quarn {

// What a run charges for `let name = <literal>`: the statement and its node.
constexpr std::uint64_t kLetOfLiteral = 2;

void assign(Machine& machine, std::span<Assignment> assignments) {
    Budget budget(machine);
    assign(machine, assignments, budget);
}

void assign(Machine& machine, std::span<Assignment> assignments, Budget& budget) {
    const detail::SizeLimit sizes(machine.limits.max_value_size);
    for (Assignment& assignment : assignments) {
        budget.meter().charge(kLetOfLiteral);
        sizes.check(assignment.value);
        // The replaced value goes only after the binding's lock is free.
        if (assignment.binding) {
            Value replaced = machine.vars.rebind(*assignment.binding, std::move(assignment.value));
        } else {
            std::optional<Value> replaced =
                machine.vars.insert(assignment.name, std::move(assignment.value), assignment.binding);
        }
    }
}

}  // namespace quarn
