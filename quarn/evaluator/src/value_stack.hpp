#pragma once
// The values an expression has made and not yet used. The evaluator keeps the
// top in a local pointer, which it hands back whenever it leaves its loop,
// normally or by an exception, so that the stack destroys exactly the values
// still on it. Room is reserved before a statement's or a block's expression
// runs, for the most values it ever holds, so a push checks nothing.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>

#include "quarn/value.hpp"

namespace quarn::detail {

class ValueStack {
public:
    ValueStack() noexcept = default;
    ValueStack(const ValueStack&) = delete;
    ValueStack& operator=(const ValueStack&) = delete;
    ~ValueStack() {
        std::destroy(base_, top_);
        if (base_ != inline_values()) ::operator delete(base_);
    }

    Value* top() const noexcept { return top_; }
    void settle(Value* top) noexcept { top_ = top; }

    // Room for `more` values above `top`; returns the top, which moves with
    // the values when the stack grows.
    Value* reserve(Value* top, std::size_t more) {
        if (static_cast<std::size_t>(end_ - top) >= more) return top;
        std::size_t used = static_cast<std::size_t>(top - base_);
        std::size_t room = std::max(2 * static_cast<std::size_t>(end_ - base_), used + more);
        auto* bigger = static_cast<Value*>(::operator new(room * sizeof(Value)));
        std::uninitialized_move(base_, top, bigger);
        std::destroy(base_, top);
        if (base_ != inline_values()) ::operator delete(base_);
        base_ = bigger;
        end_ = bigger + room;
        return top_ = bigger + used;
    }

private:
    static constexpr std::size_t kInline = 32;
    Value* inline_values() noexcept { return reinterpret_cast<Value*>(inline_); }

    alignas(Value) std::byte inline_[kInline * sizeof(Value)];
    Value* base_ = inline_values();
    Value* end_ = base_ + kInline;
    Value* top_ = base_;
};

}  // namespace quarn::detail
