#pragma once
// The budget of operations that one run of a machine draws on. A run that a
// function starts on a machine whose run is already going on below it, on
// the same thread, draws on that run's budget, so nesting cannot multiply
// the operations the machine's limit allows.
//
// Work that is one run to its caller, such as a batch's row (its values
// bound, then its program run), holds one Budget over all of it and hands
// it to each part; each part called alone opens its own.

#include "quarn/machine.hpp"
#include "quarn/meter.hpp"

namespace quarn {

namespace detail {

// The runs of each machine now going on on this thread, innermost first.
struct ActiveRun {
    const Machine* machine;
    Meter* meter;
    ActiveRun* below;
};
inline thread_local ActiveRun* active_runs = nullptr;

}  // namespace detail

class Budget {
public:
    explicit Budget(const Machine& machine) noexcept : own_(machine.limits.max_operations) {
        for (detail::ActiveRun* run = detail::active_runs; run; run = run->below) {
            if (run->machine == &machine) {
                meter_ = run->meter;
                return;
            }
        }
        entry_ = {&machine, &own_, detail::active_runs};
        detail::active_runs = &entry_;
    }
    ~Budget() {
        if (meter_ == &own_) detail::active_runs = entry_.below;
    }
    Budget(const Budget&) = delete;
    Budget& operator=(const Budget&) = delete;

    Meter& meter() noexcept { return *meter_; }

private:
    Meter own_;
    detail::ActiveRun entry_{};
    Meter* meter_ = &own_;
};

}  // namespace quarn
