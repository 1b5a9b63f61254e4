#include "quarn/debug.hpp"

#include "quarn/memory.hpp"
#include "quarn/meter.hpp"

#include <string>
#include <utility>
#include <vector>

namespace quarn {

void debug(std::string& out, const Number& number) {
    if (number.is_int) {
        out += "Int(";
        out += std::to_string(number.i);
    } else {
        out += "Float(";
        debug_float(out, number.f);
    }
    out += ')';
}

void debug(std::string& out, IdentifierView id) {
    if (id.is_u()) {
        out += "U(";
        out += std::to_string(id.u());
    } else {
        out += "S(";
        debug_quoted(out, id.s());
    }
    out += ')';
}

namespace {

// Prints a value that is not a non-empty vector completely; for a non-empty
// vector prints its opening and returns its items for the caller to walk.
std::span<const Value> open_value(std::string& out, const Value& value) {
    switch (value.kind()) {
    case Kind::Null: out += "Null"; break;
    case Kind::Boolean: out += value.as_bool() ? "Boolean(true)" : "Boolean(false)"; break;
    case Kind::String:
        out += "String(";
        debug_quoted(out, value.as_string());
        out += ')';
        break;
    case Kind::Number:
        out += "Number(";
        debug(out, value.as_number());
        out += ')';
        break;
    case Kind::Vector:
        out += "Vector([";
        if (!value.as_vector().empty()) return value.as_vector();
        out += "])";
        break;
    case Kind::Function:
        out += "Function(";
        value.as_function().fmt_debug(out);
        out += ')';
        break;
    }
    return {};
}

}  // namespace

// Vectors of any depth print without recursion: a stack of the vectors
// still open, each with the index of its next item. A vector whose items
// share one another can stand for more items than memory holds. Every unit
// of a value's size prints as a byte at least, so a form that could never
// fit in memory is refused before the first byte (quarn/memory.hpp); one
// that could fit but takes long looks for an interruption every so many
// items.
void debug(std::string& out, const Value& value) {
    constexpr unsigned kItemsBetweenChecks = 1u << 14;
    check_fits(out.size() + value.size());
    std::span<const Value> first = open_value(out, value);
    if (first.empty()) return;
    std::vector<std::pair<std::span<const Value>, std::size_t>> open{{first, 0}};
    for (unsigned printed = 0; !open.empty(); ++printed) {
        if (printed == kItemsBetweenChecks) {
            check_interrupt();
            printed = 0;
        }
        auto& [items, next] = open.back();
        if (next == items.size()) {
            out += "])";
            open.pop_back();
            continue;
        }
        if (next > 0) out += ", ";
        const Value& item = items[next++];
        std::span<const Value> inner = open_value(out, item);
        if (!inner.empty()) open.push_back({inner, 0});
    }
}

}  // namespace quarn
