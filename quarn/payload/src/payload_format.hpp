#pragma once
// The tags and numbers of the payload's records, shared by its writer and
// its reader (the format is described in quarn/payload.hpp).

#include <cstdint>

namespace quarn::payload {

// The second byte: what the payload holds.
enum class Holds : std::uint8_t { Expr, Statement, Machine };

// The families of objects, each with its own stack and table.
enum class Family : std::uint8_t { Value, Expr, Statement };

enum Tag : std::uint8_t {
    // values
    kNull = 0, kFalse, kTrue, kInteger, kFloat, kText, kVector, kFunction, kValueRef,
    // expressions
    kLiteral = 16, kIdent, kAdd, kSub, kMul, kDiv, kEquals, kGreaterThan, kLessThan, kNot, kCall, kVectorExpr,
    kExprRef,
    // statements
    kLet = 32, kIf, kFn, kStatementRef,
    // a machine's variables
    kBind = 48,
};

// The checksum's size: CRC-32 (crc32.hpp) of the bytes before it.
inline constexpr int kChecksumBytes = 4;

// Set on a record's tag: what it makes also joins its family's table.
inline constexpr std::uint8_t kRemember = 0x80;

// The family a tag's record makes, by the tag's range.
inline constexpr std::uint8_t kExprTags = 16, kStatementTags = 32, kMachineTags = 48;

// Integers go through zigzag coding, so that small negative ones stay short.
inline std::uint64_t zigzag(std::int64_t n) noexcept {
    return (static_cast<std::uint64_t>(n) << 1) ^ static_cast<std::uint64_t>(n >> 63);
}
inline std::int64_t unzigzag(std::uint64_t n) noexcept {
    return static_cast<std::int64_t>((n >> 1) ^ (~(n & 1) + 1));
}

}  // namespace quarn::payload
