#include "quarn/binding.hpp"

#include <thread>

namespace quarn {

Binding::Binding(std::uint64_t h, Identifier name, Value first, RwLock* shard_lock) noexcept
    : hash(h), id(std::move(name)), lock(shard_lock), tag_(first.tag_word()), word_(first.value_word()) {
    std::move(first).release();  // its count now belongs to the two words
}

Binding::~Binding() {
    Value::adopt(tag_.load(std::memory_order_relaxed), word_.load(std::memory_order_relaxed));
}

// A shared value cannot change while the read lock is held: only a writer
// holding the write lock changes one. A number, boolean or null may still be
// rebound by a writer holding the sequence lock alone, so it is copied as
// a reader without a lock copies it, waiting out such a writer.
Value Binding::copy_locked() const noexcept {
    for (int round = 0;; ++round) {
        if (Value copy; copy_unlocked(copy)) return copy;
        std::uint8_t t = tag_.load(std::memory_order_relaxed);
        if (Value::is_shared_tag(t)) return Value::share(t, word_.load(std::memory_order_relaxed));
        if (round >= 64) std::this_thread::yield();
    }
}

Value Binding::exchange(Value next) noexcept {
    std::uint32_t held = seq_.lock();
    Value previous = Value::adopt(tag_.load(std::memory_order_relaxed), word_.load(std::memory_order_relaxed));
    tag_.store(next.tag_word(), std::memory_order_relaxed);
    word_.store(next.value_word(), std::memory_order_relaxed);
    std::move(next).release();
    seq_.unlock(held);
    return previous;
}

// The count is read under the write lock: a new handle to a bound text is
// only made by a read under the read lock, or copied from a handle that
// already counts. The fence orders the append after the reads of any handle
// that let go of the text before the count was read.
bool Binding::append_if_held_by(std::size_t held, const Value* same, std::string_view tail,
                                std::uint64_t max_size) {
    Value text = Value::adopt(tag_.load(std::memory_order_relaxed), word_.load(std::memory_order_relaxed));
    bool fits = text.kind() == Kind::String && (!same || text.same_cell(*same)) && text.use_count() == held &&
                text.as_string().size() + tail.size() <= max_size;
    if (fits) {
        std::atomic_thread_fence(std::memory_order_acquire);
        text.append_unseen(tail);
        word_.store(text.value_word(), std::memory_order_relaxed);
    }
    std::move(text).release();
    return fits;
}

}  // namespace quarn
