#pragma once
// A strong reference kept inside the module's own data: the Python function
// of a bound function, which the core may copy and drop on any thread. Its
// release takes the lock-aware path: at once on a thread inside the module,
// otherwise on the next entry into the module by any thread.

#include <utility>

#include "gil.hpp"
#include "pyref.hpp"

namespace velmo {

class HeldRef {
public:
    explicit HeldRef(Ref&& adopted) noexcept : p_(adopted.release()) {}
    HeldRef(const HeldRef&) = delete;
    HeldRef& operator=(const HeldRef&) = delete;
    ~HeldRef() { release_ref(p_); }

    PyObject* get() const noexcept { return p_; }

private:
    PyObject* p_;
};

}  // namespace velmo
