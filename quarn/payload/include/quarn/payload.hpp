#pragma once
// The payload: a tree (an Expr or a Statement), or a machine's limits and
// variables, as one flat string of bytes that another process reads back.
// Python's pickling sends it; any host may.
//
//   version   one byte, kPayloadVersion, so that a later format can tell
//             an older payload from its own
//   kind      one byte: 0 an expression, 1 a statement, 2 a machine
//   limits    a machine only: max_operations, then max_value_size
//   records   up to the checksum
//   checksum  the last 4 bytes: CRC-32, as zlib computes it, of every byte
//             before them, least significant first
//
// The reader checks the version first, then the checksum, then the records:
// a payload changed or cut short on its way is refused, never read as some
// other tree.
//
// Numbers are unsigned LEB128 varints (seven bits a byte, least significant
// first, at most 64 bits); an integer value is zigzag-coded first
// (0, -1, 1, -2 ... as 0, 1, 2, 3 ...); a float is its 8 bytes, least
// significant first.
//
// The records list every object after the objects it holds (post-order), as
// a stack machine reads them: a record takes the objects it holds off the
// tops of the stacks of their families (values, expressions, statements)
// and pushes what it makes onto its own family's stack. Reading is one loop
// with no recursion, whatever the depth, and a count is never larger than
// what the stacks already hold. At the end exactly the one object of the
// payload's kind is left (a machine's payload leaves nothing).
//
// Sharing: trees and values share objects, and so does the payload. An
// object reached more than once is written once, its tag carrying
// kRemember (0x80), which also puts what the record makes into its family's
// table; every later place is a reference record naming the table index.
// The size and the time to read grow with the distinct objects, not with
// the paths to them: a tree doubled on itself sixty times stays small.
//
// A name follows its record's tag as a varint h: 0 and then a varint n is
// the numbered name U(n); an odd h is a text name of h >> 1 bytes, which
// follow and join the table of text names; an even h > 0 is the text name
// number h / 2 - 1 of that table.
//
// Functions are not in the bytes: a record names one by its number in a
// list that the host keeps beside the payload (Python pickles that list by
// its own rules).
//
// Tags, by family (what a record takes from the stacks, after the ':'):
//   values       0 null, 1 false, 2 true, 3 integer (varint), 4 float
//                (8 bytes), 5 text (varint length, the UTF-8 bytes),
//                6 vector (varint n: n values), 7 function (varint number),
//                8 reference (varint index)
//   expressions  16 literal (: a value), 17 name (name), 18 + 19 - 20 *
//                21 / (: two expressions), 22 equals, 23 greater than,
//                24 less than (: two), 25 not (: one), 26 call (name: one),
//                27 vector (varint n: n expressions), 28 reference
//   statements   32 let (name: one expression), 33 if (varints n, m: one
//                expression, then n + m statements), 34 fn (name, varint
//                function number), 35 reference
//   a machine's  48 bind (name: one value)
//
// A statement's cached compiled form and a name's remembered binding are
// caches: they are never written, and a tree read back builds its own.

#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "quarn/function.hpp"
#include "quarn/machine.hpp"
#include "quarn/tree.hpp"

namespace quarn {

inline constexpr std::uint8_t kPayloadVersion = 1;

// Bytes that are not a payload this version can read. The message says why
// and where; nothing read before the fault is kept.
class BadPayload : public std::exception {
public:
    explicit BadPayload(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Told of each function the payload names, while its holder is alive, in
// the order of their numbers: the first call is number 0. It may throw,
// which abandons the payload.
using FunctionSink = void (*)(const QuarnFunction& function, void* context);

std::string to_payload(const Expr& tree, FunctionSink sink, void* context);
std::string to_payload(const Statement& tree, FunctionSink sink, void* context);
std::string to_payload(const Machine& machine, FunctionSink sink, void* context);

// The functions a payload's numbers name; each place that names one gets
// its own clone_box().
using PayloadFunctions = std::span<const QuarnFunction* const>;

// Throw BadPayload for anything but a well-formed payload of their kind.
std::variant<Expr, Statement> tree_from_payload(std::string_view bytes, PayloadFunctions functions);
Machine machine_from_payload(std::string_view bytes, PayloadFunctions functions,
                             Writers writers = Writers::Concurrent);

}  // namespace quarn
