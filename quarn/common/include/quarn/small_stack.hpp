#pragma once
// A stack that keeps its first N items inside itself and moves to the heap
// only when it grows past them, so that evaluating a small program allocates
// nothing for its pending work.

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace quarn {

template <class T, std::size_t N>
class SmallStack {
public:
    SmallStack() noexcept = default;
    SmallStack(const SmallStack&) = delete;
    SmallStack& operator=(const SmallStack&) = delete;
    ~SmallStack() {
        std::destroy_n(data_, size_);
        if (data_ != inline_items()) ::operator delete(data_);
    }

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    T& top() noexcept { return data_[size_ - 1]; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    // The items, bottom first, in one run of memory.
    T* data() noexcept { return data_; }

    // Room for `total` items, so that pushing up to that many moves none.
    void reserve(std::size_t total) {
        if (total > capacity_) grow(total);
    }

    void push(T item) {
        if (size_ == capacity_) grow(capacity_ * 2);
        new (data_ + size_) T(std::move(item));
        ++size_;
    }
    // The same into the room that reserve() made, which it does not check.
    void push_reserved(T item) noexcept {
        new (data_ + size_) T(std::move(item));
        ++size_;
    }

    T pop() noexcept {
        T item = std::move(data_[--size_]);
        data_[size_].~T();
        return item;
    }

    // Drops the top `n` items.
    void drop(std::size_t n) noexcept {
        std::destroy_n(data_ + size_ - n, n);
        size_ -= n;
    }

private:
    T* inline_items() noexcept { return reinterpret_cast<T*>(inline_); }

    void grow(std::size_t capacity) {
        T* bigger = static_cast<T*>(::operator new(capacity * sizeof(T)));
        for (std::size_t i = 0; i < size_; ++i) {
            new (bigger + i) T(std::move(data_[i]));
            data_[i].~T();
        }
        if (data_ != inline_items()) ::operator delete(data_);
        data_ = bigger;
        capacity_ = capacity;
    }

    alignas(T) std::byte inline_[N * sizeof(T)];
    T* data_ = inline_items();
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
};

}  // namespace quarn
