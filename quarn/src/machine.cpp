#include "quarn/machine.hpp"

#include "quarn/debug.hpp"
#include "quarn/error.hpp"

namespace quarn {

Value Machine::get(IdentifierView id) const { return get(id, vars.hash(id)); }

Value Machine::get(IdentifierView id, std::uint64_t hash) const {
    std::optional<Value> value = vars.lookup(id, hash);
    if (!value) fail("Value cannot be found: " + debug_string(id));
    return std::move(*value);
}

std::string Machine::debug() const {
    std::string out = "Machine { vars: ";
    vars.debug(out);
    out += " }";
    return out;
}

}  // namespace quarn
