#include "unit.hpp"

#include <utility>

namespace quarn::detail {
namespace {

// The mark a first statement keeps of a program that ran without a unit
// (CodeSlot::seen): a hash of the statements' serials, never 0.
std::uint16_t mark_of(std::span<const Statement* const> program) noexcept {
    std::uint64_t h = program.size();
    for (const Statement* statement : program) h = (h ^ statement->serial()) * 0x9E3779B97F4A7C15u;
    auto mark = static_cast<std::uint16_t>(h >> 48);
    return mark != 0 ? mark : 1;
}

// Adds `made` at the end of the first statement's chain, unless a thread
// added a unit of the same program first, or the chain is full: the unit
// to run then, or null.
const Unit* publish(std::atomic<const Unit*>& chain, std::unique_ptr<Unit> made,
                    std::span<const Statement* const> program) {
    std::atomic<const Unit*>* at = &chain;
    for (std::size_t count = 0;;) {
        const Unit* expected = at->load(std::memory_order_acquire);
        if (expected) {
            if (expected->runs(program)) return expected->whole ? expected : nullptr;
            at = &expected->next;
            if (++count == kUnitsPerStatement) return nullptr;
            continue;
        }
        if (at->compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
            const Unit* kept = made.release();
            return kept->whole ? kept : nullptr;
        }
        // Another thread added a unit here meanwhile: look at it next.
    }
}

}  // namespace

const Unit* unit_for(std::span<const Statement* const> program) {
    const CodeSlot& first = program[0]->node().code;
    std::size_t count = 0;
    for (const Unit* unit = first.units(); unit; unit = unit->next.load(std::memory_order_acquire), ++count)
        if (unit->runs(program)) return unit->whole ? unit : nullptr;
    if (count == kUnitsPerStatement || !first.seen(mark_of(program))) return nullptr;
    return publish(first.unit_chain(), compile(program), program);
}

// Where a statement keeps its form and its units (quarn/code_slot.hpp): only
// here are both complete types.
CodeSlot::~CodeSlot() {
    delete code_.load(std::memory_order_relaxed);
    for (const Unit* unit = units_.load(std::memory_order_relaxed); unit;)
        delete std::exchange(unit, unit->next.load(std::memory_order_relaxed));
}

}  // namespace quarn::detail
