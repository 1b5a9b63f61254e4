#include "gil.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace velmo {
namespace {

thread_local int lock_depth = 0;

// References dropped by threads without the lock, each owned by the list:
// not held as Ref, whose release needs the lock the dropping thread lacks.
std::mutex pending_mutex;
std::vector<PyObject*> pending;
std::atomic<bool> has_pending{false};

// Called with the lock held and the depth raised.
void release_pending() noexcept {
    if (!has_pending.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> batch;
    {
        std::lock_guard guard(pending_mutex);
        batch.swap(pending);
        has_pending.store(false, std::memory_order_release);
    }
    for (PyObject* object : batch) Py_DECREF(object);
}

}  // namespace

ModuleEntry::ModuleEntry() noexcept {
    ++lock_depth;
    release_pending();
}

ModuleEntry::~ModuleEntry() { --lock_depth; }

GilTake::GilTake() noexcept : ensured_(lock_depth == 0) {
    if (ensured_) state_ = PyGILState_Ensure();
    ++lock_depth;
    release_pending();
}

GilTake::~GilTake() {
    --lock_depth;
    if (ensured_) PyGILState_Release(state_);
}

bool inside_module() noexcept { return lock_depth > 0; }

void release_ref(PyObject* object) noexcept {
    if (!object) return;
    if (lock_depth > 0) {
        Py_DECREF(object);
        return;
    }
    std::lock_guard guard(pending_mutex);
    pending.push_back(object);
    has_pending.store(true, std::memory_order_release);
}

}  // namespace velmo
