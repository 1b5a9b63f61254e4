#pragma once
// The header of every heap object the core shares: the text, vector and
// function payloads of values, and the nodes of syntax trees. None of them
// changes after it is made (but for a text that no one else can see yet, see
// Value::append_unseen), so any number of handles, on any thread, may share
// one; the last handle to go releases it.

#include <atomic>
#include <cstdint>

namespace quarn::detail {

enum class CellKind : std::uint8_t {
    // value payloads
    String, Vector, Function,
    // expression nodes
    Literal, Ident, BinaryOp, Equals, Not, GreaterThan, LessThan, Call, VectorExpr,
    // statement nodes
    Let, If, Fn,
};

// Counted::flags: a function can be reached from the object, through any
// number of vectors or nodes. A host that must find the functions a value or
// a tree holds (to report them to a garbage collector) skips everything else.
inline constexpr std::uint8_t kReachesFunction = 1;
// Counted::flags of a syntax tree: a call can be reached from the node, so
// running it may run a host's code, which may do anything to a machine.
inline constexpr std::uint8_t kReachesCall = 2;

struct Counted {
    // The count of handles while the object is alive; once the count reaches
    // zero the same word links the object into the list of objects that are
    // being released (see release()).
    std::atomic<std::uintptr_t> refs{1};
    CellKind kind;
    std::uint8_t flags;

    explicit Counted(CellKind k, std::uint8_t f = 0) noexcept : kind(k), flags(f) {}
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

    void retain() noexcept { refs.fetch_add(1, std::memory_order_relaxed); }
    // True when this was the last handle.
    bool drop() noexcept { return refs.fetch_sub(1, std::memory_order_acq_rel) == 1; }
};

// Destroys an object whose count reached zero, and with it everything that
// only it kept alive, in a loop rather than by recursion: a million-deep
// tree or vector is released on a constant amount of machine stack.
void release(Counted* object) noexcept;

inline void drop_ref(Counted* object) noexcept {
    if (object->drop()) release(object);
}

}  // namespace quarn::detail
