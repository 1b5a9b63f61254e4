#pragma once
// The machine's limit on the size of the values a run makes or binds
// (Value::size()), checked wherever a value is made or bound.

#include <cstdint>

#include "quarn/value.hpp"

namespace quarn::detail {

class SizeLimit {
public:
    // `limit` 0 is no limit.
    explicit SizeLimit(std::uint64_t limit) noexcept : limit_(limit), max_(limit ? limit : Value::kMaxSize) {}

    [[gnu::always_inline]] void check(const Value& value) const {
        if (value.is_shared() && value.size() > max_) exceeded();
    }
    // Before a text of `bytes` is made: a program that doubles a text must
    // stop before it asks for the memory.
    void check_text(std::uint64_t bytes) const {
        if (bytes > max_) exceeded();
    }
    // The largest size allowed; Value::kMaxSize without a limit.
    std::uint64_t max() const noexcept { return max_; }

private:
    [[noreturn, gnu::cold]] void exceeded() const;

    std::uint64_t limit_;  // as given
    std::uint64_t max_;
};

}  // namespace quarn::detail
