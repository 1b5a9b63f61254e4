#include "quarn/machine.hpp"

#include "quarn/debug.hpp"
#include "quarn/error.hpp"

namespace quarn {

Value Machine::get(IdentifierView id) const { return vars.read(binding(id)); }

const Binding& Machine::binding(IdentifierView id) const {
    const Binding* found = vars.find(id);
    if (!found) fail("Value cannot be found: " + debug_string(id));
    return *found;
}

Machine Machine::copy() const {
    Machine made = create(limits, vars.writers());
    for (auto& [binding, value] : vars.entries()) made.vars.insert(binding->id, std::move(value));
    return made;
}

// Printed from a copy of the table's handles, with no lock held: values can
// be long to print, and the printing may stop for an interruption.
std::string Machine::debug() const {
    std::string out = "Machine { vars: {";
    bool first = true;
    for (const auto& [binding, value] : vars.entries()) {
        if (!first) out += ", ";
        first = false;
        quarn::debug(out, binding->id);
        out += ": ";
        quarn::debug(out, value);
    }
    out += "} }";
    return out;
}

}  // namespace quarn
