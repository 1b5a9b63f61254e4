#pragma once
// An upper bound on the work a decoded input can cause, found before it runs.
//
// Nothing in a syntax tree limits what a run does: `let s = s + s` doubles a
// text each time it runs, and `a == a` on a vector built as [a, a] over and
// over walks an exponential number of items. An input that would do that is
// not a finding, only a slow input, so the fuzzer must tell it apart before
// running it.
//
// Every expression carries two linear forms over a few unknowns: the largest
// weight of the value it can produce (1 for a scalar, 1 + length for a text,
// 1 + the items' weights for a vector, counting a shared item once per use)
// and the work its evaluation can take (nodes visited plus bytes copied or
// compared). The unknowns are the largest weight each pooled name can hold,
// the largest weight a call adds to its argument's (or returns outright), and
// the largest work one function call can take. Each binding and each function adds a rule
// "unknown >= form"; a fixed point of the rules bounds every run in any order
// and any number of times. A rule set that keeps growing (a value that feeds
// on itself) has no bounded fixed point and the input is refused.

#include <array>
#include <cstdint>
#include <vector>

#include "name_pool.hpp"

namespace quarn::fuzz {

enum Unknown : int {
    kCallExtra = kNamePool,  // weight a call adds to its argument's, or returns outright
    kCallWork,               // work of one function call, re-entry aside
    kUnknowns,
};

constexpr std::uint64_t kSaturated = std::uint64_t(1) << 62;

// c + sum(k[i] * unknown[i]), saturating.
struct Form {
    std::array<std::uint32_t, kUnknowns> k{};
    std::uint64_t c = 0;

    static Form constant(std::uint64_t c);
    static Form unknown(int which, std::uint32_t times = 1);
    Form& operator+=(const Form& other);
    Form doubled() const;
    bool operator==(const Form&) const = default;
};

inline Form operator+(Form a, const Form& b) { return a += b; }

class WorkBound {
public:
    // The name (an index into the pool) may be bound to a value of this weight.
    void binds(int name, const Form& weight);
    // A call may return a value this much heavier than its argument.
    void adds(const Form& weight);
    // One call of some function takes this much work besides re-entry.
    void call_work(std::uint64_t work);

    // Finds the least fixed point; false when the rules grow without end or
    // past `limit`.
    bool solve(std::uint64_t limit);
    std::uint64_t value(const Form& form) const;

private:
    struct Rule {
        int target;
        Form form;
    };
    void add(int target, const Form& form);
    bool settle_once();

    std::vector<Rule> rules_;
    std::array<std::uint64_t, kUnknowns> x_{};
};

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b);
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b);

}  // namespace quarn::fuzz
