#pragma once
// One more level of recursion through Python code or into Python data: the
// interpreter's own recursion limit, and the machine stack of the thread,
// whichever ends first. Every call from the module into code that may run
// Python code counts one: PyPy's C API ends the process when its stack runs
// out inside a call that may not fail, and CPython's only counts the Python
// frames, so the module counts its own crossings. The exact built-in types
// run no Python code and take none.

#include <type_traits>

#include "host.hpp"
#include "pyref.hpp"
#include "stack_limit.hpp"

namespace velmo {

// One level deeper, without throwing: entered() is false, with RecursionError
// set (its text naming `where`, " while ..."), when that would be too deep.
class PythonDepth {
public:
    explicit PythonDepth(const char* where) noexcept : entered_(enter(where)) {}
    ~PythonDepth() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    PythonDepth(const PythonDepth&) = delete;
    PythonDepth& operator=(const PythonDepth&) = delete;

    bool entered() const noexcept { return entered_; }

private:
    static bool enter(const char* where) noexcept {
        if (stack_exhausted()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return false;
        }
        return host::enter_recursive_call(where) == 0;
    }

    bool entered_;
};

// A call that may run Python code, one level deeper: its result, or `failed`
// with RecursionError set when too deep, so that the caller handles it as it
// handles the call's own failure.
template <class Call, class Result = std::invoke_result_t<Call&>>
Result python_call(Call&& call, std::type_identity_t<Result> failed, const char* where = "") {
    PythonDepth depth(where);
    if (!depth.entered()) return failed;
    return call();
}

// The RecursionError is set: unlike other failures met while converting an
// item, it ends the whole conversion rather than one attempt.
struct TooDeep : PyErrOccurred {};

// One level deeper for the rest of a scope; throws TooDeep when too deep.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) : depth_(where) {
        if (!depth_.entered()) throw TooDeep{};
    }

private:
    PythonDepth depth_;
};

}  // namespace velmo
