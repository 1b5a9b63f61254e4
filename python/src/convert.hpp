#pragma once
// Values crossing between Python and Quarn. Every crossing goes through
// PyValue, whose variants are tried in a fixed order; identifiers go through
// PyIdentifier.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "pyref.hpp"
#include "quarn/identifier.hpp"
#include "quarn/value.hpp"

namespace velmo {

// Holds the None object; released by the module's release rule.
class PyNull {
public:
    PyNull() noexcept;
    PyNull(const PyNull&) = delete;
    PyNull(PyNull&& other) noexcept : none_(std::exchange(other.none_, nullptr)) {}
    PyNull& operator=(PyNull&& other) noexcept {
        std::swap(none_, other.none_);
        return *this;
    }
    ~PyNull();
    PyObject* take() noexcept { return std::exchange(none_, nullptr); }

private:
    PyObject* none_;
};

struct PyValue;
using PyVector = std::vector<PyValue>;

struct PyValue {
    // Null, Boolean, String, I64, F64, Vector
    std::variant<PyNull, bool, std::string, std::int64_t, double, PyVector> v;

    // Raises the enum TypeError (or RecursionError for input nested deeper
    // than the stack allows) and throws PyErrOccurred when nothing fits.
    static PyValue extract_bound(PyObject* object);
    // A new reference; a failure to create an object is a fatal error.
    Ref into_pyobject() &&;
    quarn::Value into_quarnvalue() &&;
    // Raises TypeError for a Function value; a Function inside a Vector is a
    // fatal error. The handle is released on every path.
    static PyValue arc_quarnvalue_to_py(quarn::Value value);
};

struct PyIdentifier {
    std::variant<std::uint64_t, std::string> v;  // U, S

    static PyIdentifier extract_bound(PyObject* object);
    quarn::Identifier into_identifier() && { return quarn::Identifier{std::move(v)}; }
};

// How many items to reserve for a sequence about to be iterated. Its length
// is only a hint, since any class can lie about it: trusted for a list or a
// tuple, capped for anything else; a failure to read it is ignored, except
// a PanicException, whose fatal error resumes.
std::size_t capacity_hint(PyObject* sequence);

// A str (or subclass) as UTF-8; the interpreter's encoding error for one
// that has no UTF-8 form. Raises the 'PyString' mismatch for anything else.
std::string extract_string(PyObject* object);

}  // namespace velmo
