#pragma once
// Where a statement keeps the flat code it was compiled to (code.hpp): made
// on the statement's first run and kept for the next ones, since the tree
// never changes. Any thread may compile it; the first to store one wins.

#include <atomic>
#include <memory>

namespace quarn::detail {

struct Code;

class CodeSlot {
public:
    CodeSlot() noexcept = default;
    CodeSlot(const CodeSlot&) = delete;
    CodeSlot& operator=(const CodeSlot&) = delete;
    ~CodeSlot();

    const Code* get() const noexcept { return code_.load(std::memory_order_acquire); }
    // Keeps `made` unless another thread stored one first; returns the kept one.
    const Code* store(std::unique_ptr<Code> made) const noexcept;

private:
    mutable std::atomic<const Code*> code_{nullptr};
};

}  // namespace quarn::detail
