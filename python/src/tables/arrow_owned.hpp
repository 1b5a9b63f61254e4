#pragma once
// One Arrow struct owned (arrow_abi.hpp): its `release` called exactly once,
// when the holder goes or is reset, whatever path the code takes; as `Ref`
// holds a Python reference. A producer must set `release` to null when it
// releases; the holder does it too, so that one that forgets cannot be
// released twice.

#include <cstring>
#include <utility>

#include "arrow_abi.hpp"

namespace velmo::tables {

// What a host does around each release, when its producers may be code of
// its own that must not run in the middle of the host's error handling:
// `enter` puts aside what the host has pending and `leave` restores it.
struct ReleaseHooks {
    void* (*enter)() = nullptr;
    void (*leave)(void*) = nullptr;
};
inline ReleaseHooks release_hooks;

template <class Struct>
class Owned {
public:
    Owned() noexcept { std::memset(&held_, 0, sizeof held_); }
    // Moves the struct out of `from`, which is left released, as a consumer
    // takes a struct out of a producer's capsule.
    static Owned take(Struct* from) noexcept {
        Owned owned;
        owned.held_ = *from;
        from->release = nullptr;
        return owned;
    }
    Owned(Owned&& other) noexcept : Owned() { std::swap(held_, other.held_); }
    Owned& operator=(Owned&& other) noexcept {
        Owned moved(std::move(other));
        std::swap(held_, moved.held_);
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    void reset() noexcept {
        if (!held_.release) return;
        auto release = held_.release;
        void* aside = release_hooks.enter ? release_hooks.enter() : nullptr;
        release(&held_);
        held_.release = nullptr;
        if (release_hooks.leave) release_hooks.leave(aside);
    }
    // Empty, to be filled by a producer's call (get_schema, get_next).
    Struct* out() noexcept {
        reset();
        std::memset(&held_, 0, sizeof held_);
        return &held_;
    }
    // Hands the struct to `to`, which then owns it.
    void give(Struct* to) noexcept {
        *to = held_;
        held_.release = nullptr;
    }

    explicit operator bool() const noexcept { return held_.release != nullptr; }
    Struct* get() noexcept { return &held_; }
    const Struct* get() const noexcept { return &held_; }
    Struct* operator->() noexcept { return &held_; }
    const Struct* operator->() const noexcept { return &held_; }
    Struct& operator*() noexcept { return held_; }
    const Struct& operator*() const noexcept { return held_; }

private:
    Struct held_;
};

using OwnedSchema = Owned<ArrowSchema>;
using OwnedArray = Owned<ArrowArray>;
using OwnedStream = Owned<ArrowArrayStream>;

}  // namespace velmo::tables
