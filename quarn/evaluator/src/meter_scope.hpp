#pragma once
// The meter a run counts its operations on. A run that a function starts on
// a machine whose run is already going on below it, on the same thread,
// draws on that run's meter, so nesting cannot multiply the operations the
// machine's limit allows.

#include "quarn/machine.hpp"
#include "quarn/meter.hpp"

namespace quarn::detail {

// The runs of each machine now going on on this thread, innermost first.
struct ActiveRun {
    const Machine* machine;
    Meter* meter;
    ActiveRun* below;
};
inline thread_local ActiveRun* active_runs = nullptr;

class MeterScope {
public:
    explicit MeterScope(const Machine& machine) noexcept : own_(machine.limits.max_operations) {
        for (ActiveRun* run = active_runs; run; run = run->below) {
            if (run->machine == &machine) {
                meter_ = run->meter;
                return;
            }
        }
        entry_ = {&machine, &own_, active_runs};
        active_runs = &entry_;
    }
    ~MeterScope() {
        if (meter_ == &own_) active_runs = entry_.below;
    }
    MeterScope(const MeterScope&) = delete;
    MeterScope& operator=(const MeterScope&) = delete;

    Meter& meter() noexcept { return *meter_; }

private:
    Meter own_;
    ActiveRun entry_{};
    Meter* meter_ = &own_;
};

}  // namespace quarn::detail
