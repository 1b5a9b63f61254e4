#pragma once
// Destroying a deeply nested structure recursively would overflow the machine
// stack. Destructors of nested nodes raise a per-thread depth count; past a
// small bound they park the node on a per-thread list instead of destroying
// it, and the outermost destructor drains that list in a loop.

namespace quarn::teardown {

inline constexpr int kMaxDepth = 128;

using Destroy = void (*)(void*);

// Runs `destroy(object)` now, one level deeper, or parks it when the thread is
// already kMaxDepth levels deep; the outermost level then drains the parked.
void run(Destroy destroy, void* object) noexcept;

// True when a destructor at this point should park its children rather than
// destroy them in place.
bool too_deep() noexcept;

// Brackets in-place destruction of children one level deeper.
class Level {
public:
    Level() noexcept;
    ~Level();
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;
};

void park(Destroy destroy, void* object);

}  // namespace quarn::teardown
