#pragma once
// Where in a program a run stopped: the statement that failed, as indices
// into the statement lists of the program as given, with the branch of each
// if taken on the way. A rule set built from data is long, and its failures
// come from the data: this names the rule.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quarn {

struct FailureSite {
    enum class Branch : std::uint8_t { Top, Then, Otherwise };
    struct Step {
        Branch branch;
        std::size_t index;
    };
    std::vector<Step> steps;  // outermost first; empty when no statement was running

    // "at statement 3, then-branch statement 0, otherwise-branch statement 2";
    // empty for no steps.
    std::string text() const;
};

}  // namespace quarn
