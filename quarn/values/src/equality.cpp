#include <utility>
#include <vector>

#include "quarn/error.hpp"
#include "quarn/meter.hpp"
#include "quarn/value.hpp"

namespace quarn {
namespace {

enum class Flat { Unequal, Equal, CompareItems };

bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    return in_stretches(a.size(), [&](std::size_t at, std::size_t n) { return a.substr(at, n) == b.substr(at, n); });
}

// Compares two values unless both are vectors of one length, whose items the
// caller then compares pair by pair.
Flat compare_flat(const Value& l, const Value& r) {
    switch (l.kind()) {
    case Kind::Null: return r.kind() == Kind::Null ? Flat::Equal : Flat::Unequal;
    case Kind::Boolean:
        if (r.kind() != Kind::Boolean) fail("Expected other item to be Value::Boolean");
        return l.as_bool() == r.as_bool() ? Flat::Equal : Flat::Unequal;
    case Kind::String:
        if (r.kind() != Kind::String) fail("Expected other item to be Value::String");
        return same_text(l.as_string(), r.as_string()) ? Flat::Equal : Flat::Unequal;
    case Kind::Number:
        if (r.kind() != Kind::Number) fail("Expected other item to be Value::Number");
        return same_number(l.as_number(), r.as_number()) ? Flat::Equal : Flat::Unequal;
    case Kind::Vector:
        if (r.kind() != Kind::Vector) fail("Expected other item to be Value::Vector");
        return l.as_vector().size() == r.as_vector().size() ? Flat::CompareItems : Flat::Unequal;
    case Kind::Function: fail("Cannot perform PartialEq for Value::Fn");
    }
    return Flat::Unequal;
}

}  // namespace

// Depth first with an explicit stack, first items first. Each pair of
// items compared is one operation on the meter: vectors that share their
// items can stand for more pairs than memory holds.
bool equals(const Value& left, const Value& right, Meter* meter) {
    Flat first = compare_flat(left, right);
    if (first != Flat::CompareItems) return first == Flat::Equal;
    std::vector<std::pair<const Value*, const Value*>> pending;
    auto push_items = [&](const Value& l, const Value& r) {
        auto a = l.as_vector(), b = r.as_vector();
        for (std::size_t i = a.size(); i-- > 0;) pending.push_back({&a[i], &b[i]});
    };
    push_items(left, right);
    while (!pending.empty()) {
        auto [l, r] = pending.back();
        pending.pop_back();
        if (meter) meter->charge(1);
        Flat result = compare_flat(*l, *r);
        if (result == Flat::Unequal) return false;
        if (result == Flat::CompareItems) push_items(*l, *r);
    }
    return true;
}

}  // namespace quarn
