#pragma once
// Converting nested Python data recurses once per level of nesting. This
// tells when the current thread's machine stack is close enough to its end
// that one more level could overflow it.

namespace velmo {

bool stack_exhausted() noexcept;

}  // namespace velmo
