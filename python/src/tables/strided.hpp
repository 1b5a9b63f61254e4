#pragma once
// A one-dimensional buffer of numbers or booleans, as the buffer protocol
// describes it (a numpy array, an array.array, a memoryview): a pointer, a
// stride of any sign, and a format in the struct module's syntax. Its values
// are read in place and bind as the equivalent Python values would.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "plain_numbers.hpp"
#include "quarn/value.hpp"

namespace velmo::tables {

enum class Number : std::uint8_t { Bool, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64, Float16, Float32, Float64 };

struct NumberFormat {
    Number kind;
    bool swapped;  // big-endian on this little-endian host
};

// The format of items of `itemsize` bytes, or nothing for one that holds no
// number or boolean (objects, texts, records, complex numbers, pointers).
std::optional<NumberFormat> number_format(std::string_view format, std::size_t itemsize);

class StridedReader {
public:
    StridedReader(const char* start, std::ptrdiff_t stride, NumberFormat format) noexcept
        : start_(start), stride_(stride), format_(format) {}

    quarn::Value value(std::int64_t i) const {
        const char* at = start_ + stride_ * i;
        if (format_.kind == Number::Float64 && !format_.swapped) {
            double x;
            std::memcpy(&x, at, sizeof x);
            return quarn::Value::real(x);
        }
        return other(at);
    }

    // Values from i on, when they are plain: native float64 or int64.
    PlainNumbers plain(std::int64_t i) const noexcept {
        bool integers = format_.kind == Number::Int64;
        if (format_.swapped || (!integers && format_.kind != Number::Float64)) return {};
        return {start_ + stride_ * i, stride_, integers};
    }

private:
    quarn::Value other(const char* at) const;

    const char* start_;
    std::ptrdiff_t stride_;
    NumberFormat format_;
};

// A half-precision float's bits widened exactly to a double.
double widen_half(std::uint16_t bits) noexcept;

}  // namespace velmo::tables
