#include "strided.hpp"

#include <algorithm>
#include <cmath>

namespace velmo::tables {
namespace {

std::optional<Number> integer_of(std::size_t size, bool is_signed) {
    switch (size) {
    case 1: return is_signed ? Number::Int8 : Number::UInt8;
    case 2: return is_signed ? Number::Int16 : Number::UInt16;
    case 4: return is_signed ? Number::Int32 : Number::UInt32;
    case 8: return is_signed ? Number::Int64 : Number::UInt64;
    default: return std::nullopt;
    }
}

// The item's bytes in the host's order.
template <class T>
T read(const char* at, bool swapped) noexcept {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, at, sizeof(T));
    if (swapped) std::reverse(bytes, bytes + sizeof(T));
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

}  // namespace

double widen_half(std::uint16_t bits) noexcept {
    int exponent = (bits >> 10) & 0x1F;
    double fraction = bits & 0x3FF;
    double magnitude = exponent == 0    ? std::ldexp(fraction, -24)
                       : exponent == 31 ? (fraction == 0 ? INFINITY : NAN)
                                        : std::ldexp(fraction + 1024, exponent - 25);
    return (bits & 0x8000) ? -magnitude : magnitude;
}

// A byte order or size mark, then one item code, with an optional count of 1.
std::optional<NumberFormat> number_format(std::string_view format, std::size_t itemsize) {
    bool swapped = false;
    if (!format.empty() && std::string_view("@=<>!").find(format[0]) != std::string_view::npos) {
        swapped = format[0] == '>' || format[0] == '!';
        format.remove_prefix(1);
    }
    if (format.size() == 2 && format[0] == '1') format.remove_prefix(1);
    if (format.size() != 1) return std::nullopt;
    char code = format[0];
    std::optional<Number> kind;
    if (code == '?' && itemsize == 1) kind = Number::Bool;
    if (std::string_view("bhilqn").find(code) != std::string_view::npos) kind = integer_of(itemsize, true);
    if (std::string_view("BHILQN").find(code) != std::string_view::npos) kind = integer_of(itemsize, false);
    if (code == 'e' && itemsize == 2) kind = Number::Float16;
    if (code == 'f' && itemsize == 4) kind = Number::Float32;
    if (code == 'd' && itemsize == 8) kind = Number::Float64;
    if (!kind) return std::nullopt;
    return NumberFormat{*kind, swapped && itemsize > 1};
}

quarn::Value StridedReader::other(const char* at) const {
    bool s = format_.swapped;
    switch (format_.kind) {
    case Number::Bool: return quarn::Value::boolean(*at != 0);
    case Number::Int8: return quarn::Value::integer(read<std::int8_t>(at, s));
    case Number::Int16: return quarn::Value::integer(read<std::int16_t>(at, s));
    case Number::Int32: return quarn::Value::integer(read<std::int32_t>(at, s));
    case Number::Int64: return quarn::Value::integer(read<std::int64_t>(at, s));
    case Number::UInt8: return quarn::Value::integer(read<std::uint8_t>(at, s));
    case Number::UInt16: return quarn::Value::integer(read<std::uint16_t>(at, s));
    case Number::UInt32: return quarn::Value::integer(read<std::uint32_t>(at, s));
    case Number::UInt64: {
        auto n = read<std::uint64_t>(at, s);
        if (n <= static_cast<std::uint64_t>(INT64_MAX)) return quarn::Value::integer(static_cast<std::int64_t>(n));
        return quarn::Value::real(static_cast<double>(n));
    }
    case Number::Float16: return quarn::Value::real(widen_half(read<std::uint16_t>(at, s)));
    case Number::Float32: return quarn::Value::real(read<float>(at, s));
    default: return quarn::Value::real(read<double>(at, s));
    }
}

}  // namespace velmo::tables
