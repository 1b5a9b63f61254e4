#pragma once
// Brackets one level of recursion that goes through Python or nests into
// Python data: the interpreter's own recursion limit, and the machine stack
// of the thread, whichever ends first. Conversion of nested data and calls of
// bound functions are the only places where the module still recurses.

#include "pyref.hpp"
#include "stack_limit.hpp"

namespace velmo {

// The RecursionError is set: unlike other failures met while converting an
// item, it ends the whole conversion rather than one attempt.
struct TooDeep : PyErrOccurred {};

class RecursionGuard {
public:
    // Raises RecursionError (the text names `where`, " while ...") and
    // throws when one more level would be too deep.
    explicit RecursionGuard(const char* where) {
        if (stack_exhausted()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            throw TooDeep{};
        }
        if (Py_EnterRecursiveCall(where)) throw TooDeep{};
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace velmo
