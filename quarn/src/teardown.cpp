#include "quarn/teardown.hpp"

#include <utility>
#include <vector>

namespace quarn::teardown {
namespace {

struct Parked {
    Destroy destroy;
    void* object;
};

struct State {
    int depth = 0;
    bool draining = false;
    std::vector<Parked> parked;
};

thread_local State state;

void drain() noexcept {
    state.draining = true;
    while (!state.parked.empty()) {
        Parked p = state.parked.back();
        state.parked.pop_back();
        p.destroy(p.object);
    }
    state.draining = false;
}

}  // namespace

bool too_deep() noexcept { return state.depth >= kMaxDepth; }

void park(Destroy destroy, void* object) { state.parked.push_back({destroy, object}); }

Level::Level() noexcept { ++state.depth; }

Level::~Level() {
    if (--state.depth == 0 && !state.draining && !state.parked.empty()) drain();
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
