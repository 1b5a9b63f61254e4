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

std::string Machine::debug() const {
    std::string out = "Machine { vars: ";
    vars.debug(out);
    out += " }";
    return out;
}

}  // namespace quarn
