#include "pool.hpp"

#include <new>
#include <utility>

namespace quarn::pool {
namespace {

#if defined(QUARN_NO_POOL)
constexpr bool kEnabled = false;  // sanitizer builds see every allocation
#else
constexpr bool kEnabled = true;
#endif

constexpr std::size_t kClasses = 2;
// Blocks kept per class and thread, at most 1 MiB of small ones and 2 MiB
// of large: enough for a program's worth of trees and values to be made and
// dropped again without the heap, little enough not to matter when idle.
constexpr std::size_t kMaxFree = 16384;

struct Block {
    Block* next;
};

// Trivial, so that a pool access is a plain TLS access; the blocks are handed
// back by a separate object made when the thread first keeps one.
struct Lists {
    Block* head[kClasses];
    std::size_t count[kClasses];
    bool registered;  // the reaper below exists for this thread
    bool closed;      // the thread is exiting: hand blocks back directly
};

thread_local Lists lists{};

struct Reaper {
    ~Reaper() {
        lists.closed = true;
        for (Block*& b : lists.head) {
            while (b) ::operator delete(std::exchange(b, b->next));
        }
    }
};

void register_reaper() {
    thread_local Reaper reaper;
    (void)reaper;
    lists.registered = true;
}

int size_class(std::size_t size) { return size <= kSmallBlock ? 0 : size <= kLargeBlock ? 1 : -1; }
std::size_t class_size(int c) { return c == 0 ? kSmallBlock : kLargeBlock; }

}  // namespace

void* allocate(std::size_t size) {
    int c = kEnabled ? size_class(size) : -1;
    if (c < 0) return ::operator new(size);
    if (Block* b = lists.head[c]) {
        lists.head[c] = b->next;
        --lists.count[c];
        return b;
    }
    return ::operator new(class_size(c));
}

void release(void* p, std::size_t size) noexcept {
    int c = kEnabled ? size_class(size) : -1;
    if (c < 0 || lists.closed || lists.count[c] >= kMaxFree) {
        ::operator delete(p);
        return;
    }
    if (!lists.registered) register_reaper();
    auto* b = static_cast<Block*>(p);
    b->next = lists.head[c];
    lists.head[c] = b;
    ++lists.count[c];
}

}  // namespace quarn::pool
