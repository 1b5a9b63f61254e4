#include "sequence.hpp"

#include <algorithm>

#include "error_text.hpp"

namespace velmo {
namespace {

// The most items reserved ahead for a sequence whose length may be a lie: a
// length that claims more only costs the vector's usual growth.
constexpr Py_ssize_t kMaxUntrustedHint = 64;

}  // namespace

void check_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) raise_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) raise_type_error(mismatch_text(object, "Sequence"));
}

std::size_t capacity_hint(PyObject* sequence) {
    if (PyList_CheckExact(sequence)) return static_cast<std::size_t>(PyList_GET_SIZE(sequence));
    if (PyTuple_CheckExact(sequence)) return static_cast<std::size_t>(PyTuple_GET_SIZE(sequence));
    Py_ssize_t length = python_call([&] { return PySequence_Size(sequence); }, -1);
    if (length < 0) {
        discard_error();
        return 0;
    }
    return static_cast<std::size_t>(std::min(length, kMaxUntrustedHint));
}

}  // namespace velmo
