#pragma once
// The module never releases the interpreter lock, but the core may run or
// drop a Python-backed function on any thread. Each thread therefore keeps a
// count of how deeply it is inside the module with the lock held, and Python
// references dropped by a thread without the lock wait on a process-wide
// list until some thread takes the lock through the module.

#include "host.hpp"

namespace velmo {

// Marks entry into a module method: the calling thread already holds the lock.
class ModuleEntry {
public:
    ModuleEntry() noexcept;
    ~ModuleEntry();
    ModuleEntry(const ModuleEntry&) = delete;
    ModuleEntry& operator=(const ModuleEntry&) = delete;
};

// Takes the lock for code that may run on a thread without it.
class GilTake {
public:
    GilTake() noexcept;
    ~GilTake();
    GilTake(const GilTake&) = delete;
    GilTake& operator=(const GilTake&) = delete;

private:
    bool ensured_;
    host::GilState state_;
};

// Whether this thread is inside the module, holding the lock.
bool inside_module() noexcept;

// Releases a reference held by the module's own data: at once when this
// thread is inside the module, otherwise on the next take of the lock.
void release_ref(PyObject* object) noexcept;

}  // namespace velmo
