#include "quarn/binding.hpp"

namespace quarn {

Binding::Binding(std::uint64_t h, Identifier name, Value first, Writers writers) noexcept
    : hash(h), id(std::move(name)), tag_(first.tag_word()), writers_(writers), word_(first.value_word()) {
    std::move(first).release();  // its count now belongs to the two words
}

Binding::~Binding() {
    Value::adopt(tag_.load(std::memory_order_relaxed), word_.load(std::memory_order_relaxed));
}

// The new handle is counted before the lock is let go: until then no
// writer can release the value.
Value Binding::copy_shared() const noexcept {
    std::uint32_t held = lock();
    Value copy = Value::share(tag_.load(std::memory_order_relaxed), word_.load(std::memory_order_relaxed));
    seq_.unlock_unchanged(held);
    return copy;
}

// The count is read under the lock: a new handle to a bound text is only
// made by a read under it, or copied from a handle that already counts. It
// is read with acquire, which orders the append after the reads of any
// handle that let go of the text before.
bool Binding::append_if_held_by(std::size_t held, const Value* same, std::string_view tail,
                                std::uint64_t max_size) {
    std::uint32_t seq = lock();
    std::uint64_t word = word_.load(std::memory_order_relaxed);
    bool text = tag_.load(std::memory_order_relaxed) == Value::kStringTag && (!same || same->value_word() == word);
    bool fits = text && [&] {
        auto* cell = reinterpret_cast<const detail::TextCell*>(word);
        return cell->refs.load(std::memory_order_acquire) == held && cell->size + tail.size() <= max_size;
    }();
    if (!fits) {
        seq_.unlock_unchanged(seq);
        return false;
    }
    Value grown = Value::adopt(Value::kStringTag, word);
    grown.append_unseen(tail);
    word_.store(grown.value_word(), std::memory_order_relaxed);
    std::move(grown).release();
    seq_.unlock(seq);
    return true;
}

}  // namespace quarn
