#include "quarn/teardown.hpp"

#include <vector>

namespace quarn::teardown {
namespace {

struct Parked {
    Destroy destroy;
    void* object;
};

// Kept trivial, so that the per-node depth count costs a plain TLS access.
thread_local int depth = 0;
thread_local bool draining = false;
thread_local std::vector<Parked>* parked = nullptr;

// The parked list lives as long as the thread and is made on first need.
std::vector<Parked>& parked_list() {
    if (!parked) {
        thread_local std::vector<Parked> storage;
        parked = &storage;
    }
    return *parked;
}

void drain() noexcept {
    draining = true;
    std::vector<Parked>& list = *parked;
    while (!list.empty()) {
        Parked p = list.back();
        list.pop_back();
        p.destroy(p.object);
    }
    draining = false;
}

}  // namespace

bool too_deep() noexcept { return depth >= kMaxDepth; }

void park(Destroy destroy, void* object) { parked_list().push_back({destroy, object}); }

Level::Level() noexcept { ++depth; }

Level::~Level() {
    if (--depth == 0 && !draining && parked && !parked->empty()) drain();
}

void run(Destroy destroy, void* object) noexcept {
    if (too_deep()) {
        park(destroy, object);
        return;
    }
    Level level;
    destroy(object);
}

}  // namespace quarn::teardown
