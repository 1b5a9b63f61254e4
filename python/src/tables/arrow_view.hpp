#pragma once
// An Arrow array checked against its type (arrow_type.hpp) before any of its
// values is read, as an untrusted producer's data must be: every buffer the
// type needs present, lengths and offsets within range and not overflowing,
// offsets non-decreasing and within what they point into, the children and
// the dictionary there, each dictionary index within the dictionary, each
// text view within its buffer. What no consumer can check is left to the
// producer: that a buffer really holds the bytes its length implies.
//
// A view borrows the array's memory, which its owner keeps alive.

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "arrow_abi.hpp"
#include "arrow_type.hpp"

namespace velmo::tables {

// A value of type T at index i of a buffer that need not be aligned for it.
template <class T>
T load(const void* buffer, std::int64_t i) noexcept {
    T value;
    std::memcpy(&value, static_cast<const char*>(buffer) + i * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
    return value;
}

inline bool bit(const void* bitmap, std::int64_t i) noexcept {
    return (static_cast<const std::uint8_t*>(bitmap)[i >> 3] >> (i & 7)) & 1;
}

struct ArrayView {
    const ArrowType* type = nullptr;
    std::int64_t length = 0;
    std::int64_t offset = 0;        // of the first value in the buffers
    const void* validity = nullptr;  // null when no value is null
    const void* values = nullptr;    // fixed-width values, a bitmap, offsets, or text views
    const char* data = nullptr;      // the bytes of a utf8 or large_utf8 array
    std::vector<const char*> view_data;  // the data buffers of a utf8_view array
    std::vector<ArrayView> children;     // a list's items, a struct's fields
    std::unique_ptr<ArrayView> dictionary;

    // Whether value i (counted from the view's start) is null.
    bool is_null(std::int64_t i) const noexcept { return validity && !bit(validity, offset + i); }
};

// The array checked and viewed as `type`; throws BadArrow for an array that
// breaks the specification.
ArrayView view_array(const ArrowArray& array, const ArrowType& type);

// The struct array of a record batch, its own buffers checked, and of its
// fields only those in `fields` (indices into the type's children), which are
// the ones read. The view's children hold those fields in that order.
ArrayView view_batch(const ArrowArray& array, const ArrowType& type, const std::vector<std::size_t>& fields);

}  // namespace velmo::tables
