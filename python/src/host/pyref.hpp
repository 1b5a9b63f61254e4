#pragma once
// Owned Python references and the C++ signal that a Python error is set.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velmo {

// Thrown after a Python exception has been set; the call boundary returns
// null to the interpreter, which raises it.
struct PyErrOccurred {};

// Throws PyErrOccurred when a C-API call returned null.
inline PyObject* check(PyObject* p) {
    if (!p) throw PyErrOccurred{};
    return p;
}

// One owned (strong) reference, released when the holder goes. Only for
// code that runs with the interpreter lock held: a method's body, or code
// inside a GilTake.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref own(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    // A new reference returned by the C API; throws if it is null.
    static Ref checked(PyObject* p) { return Ref(check(p)); }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace velmo
