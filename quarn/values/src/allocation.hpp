#pragma once
// Counted objects are made in blocks from the per-thread pool. An object's
// size follows from what it holds (a text's length, a vector's count), so
// freeing one needs no stored size.

#include <cstddef>
#include <new>
#include <utility>

#include "pool.hpp"
#include "quarn/counted.hpp"

namespace quarn::detail {

// A new T followed by `extra` bytes of trailing storage.
template <class T, class... Args>
T* make_counted(std::size_t extra, Args&&... args) {
    void* block = pool::allocate(sizeof(T) + extra);
    return new (block) T(std::forward<Args>(args)...);
}

// Runs the object's destructor and gives its block back.
void destroy_counted(Counted* object) noexcept;

}  // namespace quarn::detail
