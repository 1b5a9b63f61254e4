#include "quarn/code_slot.hpp"

#include "code.hpp"

namespace quarn::detail {

CodeSlot::~CodeSlot() { delete code_.load(std::memory_order_relaxed); }

const Code* CodeSlot::store(std::unique_ptr<Code> made) const noexcept {
    const Code* expected = nullptr;
    if (code_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release();
    return expected;
}

}  // namespace quarn::detail
