#include "work_bound.hpp"

#include <algorithm>
#include <limits>

namespace quarn::fuzz {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return std::min(kSaturated, std::min(a, kSaturated) + std::min(b, kSaturated));
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    if (a == 0 || b == 0) return 0;
    if (a >= kSaturated / b) return kSaturated;
    return a * b;
}

namespace {

std::uint32_t add32(std::uint32_t a, std::uint32_t b) {
    std::uint32_t sum = a + b;
    return sum < a ? std::numeric_limits<std::uint32_t>::max() : sum;
}

}  // namespace

Form Form::constant(std::uint64_t c) {
    Form f;
    f.c = std::min(c, kSaturated);
    return f;
}

Form Form::unknown(int which, std::uint32_t times) {
    Form f;
    f.k[which] = times;
    return f;
}

Form Form::doubled() const {
    Form twice = *this;
    return twice += *this;
}

Form& Form::operator+=(const Form& other) {
    for (int i = 0; i < kUnknowns; ++i) k[i] = add32(k[i], other.k[i]);
    c = saturating_add(c, other.c);
    return *this;
}

// A long chain repeats one rule many times; it is kept once.
void WorkBound::add(int target, const Form& form) {
    if (!rules_.empty() && rules_.back().target == target && rules_.back().form == form) return;
    rules_.push_back({target, form});
}

void WorkBound::binds(int name, const Form& weight) { add(name, weight); }

void WorkBound::adds(const Form& weight) { add(kCallExtra, weight); }

void WorkBound::call_work(std::uint64_t work) { x_[kCallWork] = std::max(x_[kCallWork], work); }

std::uint64_t WorkBound::value(const Form& form) const {
    std::uint64_t total = form.c;
    for (int i = 0; i < kUnknowns; ++i)
        if (form.k[i]) total = saturating_add(total, saturating_mul(form.k[i], x_[i]));
    return total;
}

// Raises each rule's target to its form's value; true when anything rose.
bool WorkBound::settle_once() {
    bool rose = false;
    for (const Rule& rule : rules_) {
        std::uint64_t v = value(rule.form);
        if (v > x_[rule.target]) {
            x_[rule.target] = v;
            rose = true;
        }
    }
    return rose;
}

// Without a cycle that feeds on itself, every unknown settles after at most
// one round per unknown; one that still rises after that never stops.
bool WorkBound::solve(std::uint64_t limit) {
    for (int round = 0; round <= kUnknowns + 1; ++round) {
        if (!settle_once()) {
            return std::all_of(x_.begin(), x_.end(), [&](std::uint64_t v) { return v <= limit; });
        }
    }
    return false;
}

}  // namespace quarn::fuzz
