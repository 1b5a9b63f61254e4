#include "frame.hpp"

#include <array>

namespace quarn::detail {
namespace {

// The frames a thread keeps, one per unit that it ran last on a machine,
// placed by the unit's serial; a unit of more names than kLargest gets a
// frame for each run, whose cost its many statements bear.
constexpr std::size_t kKept = 4;
constexpr std::size_t kLargest = 4096;

thread_local std::array<std::unique_ptr<Frame>, kKept> kept_frames;

}  // namespace

void Frame::reset(const Unit& unit, const VarTable& table) {
    unit_ = unit.serial;
    table_ = table.id();
    slots_.assign(unit.slots, Slot{});
}

FrameLease::FrameLease(const Unit& unit, const VarTable& table) {
    std::unique_ptr<Frame>* kept = unit.slots <= kLargest ? &kept_frames[unit.serial % kKept] : nullptr;
    if (!kept || (*kept && (*kept)->busy)) {
        own_ = std::make_unique<Frame>(unit, table);
        frame_ = own_.get();
        return;
    }
    if (!*kept)
        *kept = std::make_unique<Frame>(unit, table);
    else if (!(*kept)->fits(unit, table))
        (*kept)->reset(unit, table);
    frame_ = kept->get();
    frame_->busy = true;
}

}  // namespace quarn::detail
