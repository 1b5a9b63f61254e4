#pragma once
// Run-time values. A Value is a small immutable handle: null, booleans and
// numbers are held inline; text, vectors and functions live in counted heap
// cells that every copy shares. Nothing changes a value once it is made, so
// sharing is invisible to programs, and copying a value costs at most one
// atomic increment. The machine stores values, evaluation returns them,
// vectors hold them as elements and functions receive them.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "quarn/counted.hpp"
#include "quarn/function.hpp"
#include "quarn/number.hpp"

namespace quarn {

enum class Kind : std::uint8_t { Null, Boolean, String, Number, Vector, Function };

class Value {
public:
    Value() noexcept : tag_(Tag::Null), word_(0) {}
    static Value boolean(bool b) noexcept { return Value(Tag::Boolean, b); }
    static Value number(Number n) noexcept {
        return n.is_int ? integer(n.i) : real(n.f);
    }
    static Value integer(std::int64_t n) noexcept { return Value(Tag::Int, std::uint64_t(n)); }
    static Value real(double x) noexcept;
    static Value string(std::string_view text);
    // The text of `left` followed by that of `right`, made in one step.
    static Value concat(std::string_view left, std::string_view right);
    // Moves the items into one new vector cell.
    static Value vector(std::span<Value> items);
    static Value function(std::unique_ptr<QuarnFunction> f);

    Value(const Value& other) noexcept : tag_(other.tag_), word_(other.word_) {
        if (is_shared()) cell()->retain();
    }
    Value(Value&& other) noexcept : tag_(other.tag_), word_(other.word_) { other.tag_ = Tag::Null; }
    Value& operator=(Value other) noexcept {
        std::swap(tag_, other.tag_);
        std::swap(word_, other.word_);
        return *this;
    }
    ~Value() {
        if (is_shared()) detail::drop_ref(cell());
    }

    Kind kind() const noexcept { return kKinds[static_cast<int>(tag_)]; }
    bool is_int() const noexcept { return tag_ == Tag::Int; }

    // Each accessor requires the matching kind.
    bool as_bool() const noexcept { return word_ != 0; }
    Number as_number() const noexcept;
    std::int64_t as_int() const noexcept { return static_cast<std::int64_t>(word_); }
    std::string_view as_string() const noexcept;
    std::span<const Value> as_vector() const noexcept;
    QuarnFunction& as_function() const noexcept;

    // Appends to a text that no one but the caller can see: its cell is held
    // by this handle and at most one other of the caller's, and by no one
    // else. The cell grows in place while it has room; otherwise this handle
    // moves to a new cell with twice the room, and the old cell is left to
    // the other handle, or freed. Repeated appends thus cost amortised
    // constant time per byte.
    void append_unseen(std::string_view tail);

    // Whether both handles share one heap cell (never true of inline values).
    bool same_cell(const Value& other) const noexcept { return is_shared() && word_ == other.word_; }
    // Handles sharing this value's cell; 0 for a value held inline.
    std::size_t use_count() const noexcept;

    // The cell of a text, vector or function value, handed over to the
    // caller; the value is left null. For the release loop.
    detail::Counted* take_cell() noexcept;

    // A value held inline (null, a boolean, a number) as two plain words,
    // and back: what a reader that takes no lock can copy word by word and
    // then check (see VarTable). The tag of a shared value is kSharedTag.
    static constexpr std::uint8_t kSharedTag = 0xFF;
    std::uint8_t inline_tag() const noexcept { return is_shared() ? kSharedTag : static_cast<std::uint8_t>(tag_); }
    std::uint64_t inline_word() const noexcept { return word_; }
    static Value from_inline(std::uint8_t tag, std::uint64_t word) noexcept {
        return Value(static_cast<Tag>(tag), word);
    }

private:
    enum class Tag : std::uint8_t { Null, Boolean, Int, Float, String, Vector, Function };
    static constexpr Kind kKinds[] = {Kind::Null,   Kind::Boolean, Kind::Number,  Kind::Number,
                                      Kind::String, Kind::Vector,  Kind::Function};

    Value(Tag tag, std::uint64_t word) noexcept : tag_(tag), word_(word) {}
    Value(Tag tag, detail::Counted* cell) noexcept
        : tag_(tag), word_(reinterpret_cast<std::uintptr_t>(cell)) {}
    bool is_shared() const noexcept { return tag_ >= Tag::String; }
    detail::Counted* cell() const noexcept { return reinterpret_cast<detail::Counted*>(word_); }

    Tag tag_;
    std::uint64_t word_;  // the bool, the integer, the double's bits, or the cell
};

namespace detail {

// The payload cells; each is followed in memory by its bytes or its items.
// A text that was grown in place (see Value::append_unseen) has room for
// more bytes than it holds.
struct TextCell : Counted {
    TextCell(std::size_t n, std::size_t room) noexcept : Counted(CellKind::String), size(n), capacity(room) {}
    std::size_t size;
    std::size_t capacity;
    const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
    char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
};

struct ItemsCell : Counted {
    explicit ItemsCell(std::size_t n) noexcept : Counted(CellKind::Vector), count(n) {}
    std::size_t count;
    Value* items() noexcept { return reinterpret_cast<Value*>(this + 1); }
    const Value* items() const noexcept { return reinterpret_cast<const Value*>(this + 1); }
};

struct FunctionCell : Counted {
    explicit FunctionCell(std::unique_ptr<QuarnFunction> fn) noexcept
        : Counted(CellKind::Function), f(std::move(fn)) {}
    std::unique_ptr<QuarnFunction> f;
};

}  // namespace detail

inline Value Value::real(double x) noexcept { return Value(Tag::Float, std::bit_cast<std::uint64_t>(x)); }

inline Number Value::as_number() const noexcept {
    return tag_ == Tag::Int ? Number::Int(as_int()) : Number::Float(std::bit_cast<double>(word_));
}

inline std::string_view Value::as_string() const noexcept {
    auto* text = static_cast<const detail::TextCell*>(cell());
    return {text->data(), text->size};
}

inline std::span<const Value> Value::as_vector() const noexcept {
    auto* vector = static_cast<const detail::ItemsCell*>(cell());
    return {vector->items(), vector->count};
}

inline QuarnFunction& Value::as_function() const noexcept {
    return *static_cast<const detail::FunctionCell*>(cell())->f;
}

// Equality as Quarn defines it: the left operand picks the rule, and some
// pairs of kinds are fatal errors rather than false. Vectors of any depth
// compare without recursion and stop at the first unequal pair.
bool equals(const Value& left, const Value& right);

}  // namespace quarn
