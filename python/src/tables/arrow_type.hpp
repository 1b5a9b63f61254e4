#pragma once
// The type of an Arrow column, read from its ArrowSchema: what kind of
// values it holds, and for a list or a dictionary, of what. Only the types
// whose values bind to Quarn values are told apart; any other is kept by its
// name, for the error that refuses to bind it. Reading a schema checks it
// (a producer is untrusted input) and never recurses deeper than kMaxDepth.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrow_abi.hpp"

namespace velmo::tables {

// Arrow data that a producer got wrong: its text says what.
class BadArrow : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ArrowKind : std::uint8_t {
    Null, Boolean,
    Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64,
    Float16, Float32, Float64,
    Utf8, LargeUtf8, Utf8View,
    List, LargeList, Struct,
    Other,  // any type whose values do not bind: decimals, dates, binary, ...
};

struct ArrowType {
    ArrowKind kind = ArrowKind::Null;  // of the indices, for a dictionary
    std::string name;                  // as messages name it: "float64", "list<utf8>"
    std::string field;                 // the schema's name, "" when it has none
    std::vector<ArrowType> children;   // a list's item, a struct's fields
    std::unique_ptr<ArrowType> dictionary;  // the values that indices point into

    // Whether every value of this type binds to a Quarn value.
    bool bindable() const noexcept;
};

// Nesting deeper than this (a list of lists of ...) is refused.
inline constexpr int kMaxDepth = 64;

// The type a schema describes; throws BadArrow for a schema that breaks the
// specification.
ArrowType read_type(const ArrowSchema& schema);

// Whether the kind is an integer one (the index kinds of a dictionary).
inline bool is_integer(ArrowKind kind) noexcept { return kind >= ArrowKind::Int8 && kind <= ArrowKind::UInt64; }

}  // namespace velmo::tables
