#pragma once
// The moments when the host's own code may run from inside the core, counted
// per thread: a look for an interruption (which runs the host's signal
// handlers), a call of a function, the release of one (which lets go of the
// host's object). At any of them the host may do anything to any machine:
// bind its names, run programs on it. So whatever a run keeps of the values
// bound in a machine (the evaluator's registers) holds only while this count
// stays where it was when the copy was made.

#include <cstdint>

namespace quarn::detail {

inline thread_local std::uint64_t host_turns = 1;

// Marks a moment when the host's code may have run on this thread.
[[gnu::always_inline]] inline void host_turn() noexcept { ++host_turns; }

}  // namespace quarn::detail
