#pragma once
// What a run of a unit (unit.hpp) keeps of each name the unit binds or
// reads, in the name's slot: the name's binding in the machine's table,
// found on the slot's first use, and a register, the number last bound
// through the slot, good for as long as the host's code has not run since
// (host_turns.hpp).
//
// A table never moves or removes a binding while it lives, and no two
// tables have the same id, so the slots of a unit on one table stay good
// from run to run: each thread keeps those of the few units it ran last,
// and a caller that runs one program many times keeps its own
// (PreparedProgram in eval.hpp). A run's registers are its own: each run begins with a host
// turn, after which no register of an earlier run holds.

#include <cstdint>
#include <memory>
#include <vector>

#include "quarn/binding.hpp"
#include "quarn/machine.hpp"
#include "unit.hpp"

namespace quarn::detail {

struct Slot {
    Binding* binding;     // null until found, or while the name is unbound
    std::uint64_t stamp;  // host_turns when the register was set; 0 when it holds nothing
    std::uint64_t word;   // the register: a number's two words
    std::uint8_t tag;
};

class Frame {
public:
    Frame(const Unit& unit, const VarTable& table) { reset(unit, table); }

    bool fits(const Unit& unit, const VarTable& table) const noexcept {
        return unit_ == unit.serial && table_ == table.id();
    }
    // Slots for another unit or table, none found yet.
    void reset(const Unit& unit, const VarTable& table);
    Slot* slots() noexcept { return slots_.data(); }

    bool busy = false;  // in use by a run on the thread that keeps it

private:
    std::uint64_t unit_ = 0, table_ = 0;
    std::vector<Slot> slots_;
};

// The frame that a run of `unit` on `table` uses: the one the thread keeps
// for them, or, when that one is in use already (a function run by the unit
// runs it again on the same machine) or the unit is too large to keep, a
// frame of the run's own.
class FrameLease {
public:
    FrameLease(const Unit& unit, const VarTable& table);
    ~FrameLease() {
        if (!own_) frame_->busy = false;
    }
    FrameLease(const FrameLease&) = delete;
    FrameLease& operator=(const FrameLease&) = delete;

    Slot* slots() noexcept { return frame_->slots(); }

private:
    Frame* frame_;
    std::unique_ptr<Frame> own_;
};

}  // namespace quarn::detail
