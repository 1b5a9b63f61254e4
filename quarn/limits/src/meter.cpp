#include "quarn/meter.hpp"

#include <algorithm>
#include <atomic>
#include <string>

#include "quarn/error.hpp"
#include "quarn/host_turns.hpp"

namespace quarn {
namespace {

std::atomic<InterruptCheck> interrupt_check{nullptr};

}  // namespace

void set_interrupt_check(InterruptCheck check) noexcept { interrupt_check.store(check, std::memory_order_release); }

void check_interrupt() {
    detail::host_turn();
    if (InterruptCheck check = interrupt_check.load(std::memory_order_acquire)) check();
}

Meter::Meter(std::uint64_t max_operations) noexcept
    : allowed_(max_operations == 0 || max_operations > kMaxCharge ? static_cast<std::int64_t>(kMaxCharge)
                                                                   : static_cast<std::int64_t>(max_operations)),
      limit_(max_operations > kMaxCharge ? 0 : max_operations) {
    grant();
}

void Meter::grant() noexcept {
    granted_ = std::min(kCheckEvery, allowed_);
    left_ = granted_;
}

// A limit keeps `allowed_` counting down; without one it stays far out of
// reach, topped up at every checkpoint.
void Meter::checkpoint() {
    allowed_ -= granted_ - left_;
    if (allowed_ < 0 && limit_ != 0) fail("Operation limit exceeded: max_operations=" + std::to_string(limit_));
    if (limit_ == 0) allowed_ = static_cast<std::int64_t>(kMaxCharge);
    check_interrupt();
    grant();
}

}  // namespace quarn
