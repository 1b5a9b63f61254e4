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
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "quarn/counted.hpp"
#include "quarn/function.hpp"
#include "quarn/number.hpp"

namespace quarn {

namespace detail {
struct TextCell;
}  // namespace detail

enum class Kind : std::uint8_t { Null, Boolean, String, Number, Vector, Function };

class Value {
    enum class Tag : std::uint8_t { Null, Boolean, Int, Float, String, Vector, Function };

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
    // The size a vector of these items would have (see size()), before it is made.
    static std::uint64_t vector_size(std::span<const Value> items) noexcept;
    static Value function(std::unique_ptr<QuarnFunction> f);

    Value(const Value& other) noexcept : tag_(other.tag_), word_(other.word_) {
        if (is_shared()) cell()->retain();
    }
    Value(Value&& other) noexcept : tag_(other.tag_), word_(other.word_) { other.tag_ = Tag::Null; }
    // The new value is in place before the old one is let go: releasing a
    // function runs its host's code.
    Value& operator=(Value&& other) noexcept {
        if (this != &other) replace_with(other.tag_, other.word_), other.tag_ = Tag::Null;
        return *this;
    }
    Value& operator=(const Value& other) noexcept {
        if (other.is_shared()) other.cell()->retain();
        replace_with(other.tag_, other.word_);
        return *this;
    }
    // Inline everywhere: a number, the common value, has nothing to release.
    [[gnu::always_inline]] ~Value() {
        if (is_shared()) detail::drop_ref(cell());
    }

    Kind kind() const noexcept { return kKinds[static_cast<int>(tag_)]; }
    bool is_int() const noexcept { return tag_ == Tag::Int; }
    bool is_number() const noexcept { return tag_ == Tag::Int || tag_ == Tag::Float; }
    // A number as the nearest double; requires is_number().
    double to_double() const noexcept {
        return tag_ == Tag::Int ? static_cast<double>(as_int()) : std::bit_cast<double>(word_);
    }
    // `*this = Value::integer(n)` for a handle that holds an integer now,
    // with nothing to release: how the evaluator updates a stack slot.
    void assign_int(std::int64_t n) noexcept { word_ = static_cast<std::uint64_t>(n); }
    // `*this = Value::real(x)` for a handle that holds a number now.
    void assign_real(double x) noexcept {
        tag_ = Tag::Float;
        word_ = std::bit_cast<std::uint64_t>(x);
    }
    bool is_shared() const noexcept { return tag_ >= Tag::String; }

    // What a limit on the size of values counts: 1 for null, a boolean, a
    // number or a function; a text's length in UTF-8 bytes, at least 1; a
    // vector's 1 plus the sizes of its items, an item shared by several
    // places counted at each, saturating at kMaxSize. Kept in the cell when
    // it is made, so reading it costs nothing.
    static constexpr std::uint64_t kMaxSize = (std::uint64_t{1} << 63) - 1;
    std::uint64_t size() const noexcept;
    // Whether a Python-backed function (or any function) can be reached from
    // this value: a function, or a vector holding one at any depth.
    bool reaches_function() const noexcept;

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
    // The same cell, still held by this handle; null for an inline value.
    const detail::Counted* cell_pointer() const noexcept { return is_shared() ? cell() : nullptr; }

    // A value as its two words, and back: how a binding keeps it, in two
    // atomics that a reader can copy without a lock (see binding.hpp).
    // release() hands the handle's count over to the words; adopt() takes it
    // back; an inline value has no count to hand over.
    std::uint8_t tag_word() const noexcept { return static_cast<std::uint8_t>(tag_); }
    std::uint64_t value_word() const noexcept { return word_; }
    static bool is_shared_tag(std::uint8_t tag) noexcept { return tag >= static_cast<std::uint8_t>(Tag::String); }
    static constexpr std::uint8_t kIntTag = static_cast<std::uint8_t>(Tag::Int);
    static constexpr std::uint8_t kFloatTag = static_cast<std::uint8_t>(Tag::Float);
    static constexpr std::uint8_t kStringTag = static_cast<std::uint8_t>(Tag::String);
    static Value adopt(std::uint8_t tag, std::uint64_t word) noexcept {
        return Value(static_cast<Tag>(tag), word);
    }
    void release() && noexcept { tag_ = Tag::Null; }
    // A new handle to what the two words hold, which some other handle keeps alive.
    static Value share(std::uint8_t tag, std::uint64_t word) noexcept {
        Value value(static_cast<Tag>(tag), word);
        if (value.is_shared()) value.cell()->retain();
        return value;
    }

private:
    static constexpr Kind kKinds[] = {Kind::Null,   Kind::Boolean, Kind::Number,  Kind::Number,
                                      Kind::String, Kind::Vector,  Kind::Function};

    Value(Tag tag, std::uint64_t word) noexcept : tag_(tag), word_(word) {}
    // Takes over a counted handle's two words, then drops what it held.
    void replace_with(Tag tag, std::uint64_t word) noexcept {
        Value old(tag_, word_);
        tag_ = tag;
        word_ = word;
    }
    Value(Tag tag, detail::Counted* cell) noexcept
        : tag_(tag), word_(reinterpret_cast<std::uintptr_t>(cell)) {}
    detail::TextCell* text_cell() const noexcept;
    // Moves the text to a new cell with room for twice `size` bytes.
    void grow_text(std::size_t size);
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

// Whether two runs of `n` bytes are the same; a short one, a word or a
// category's name, compared without a call: two words from each, which may
// overlap.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    auto words_equal = [&](auto word, std::size_t size) {
        decltype(word) a0, a1, b0, b1;
        std::memcpy(&a0, a, size), std::memcpy(&a1, a + n - size, size);
        std::memcpy(&b0, b, size), std::memcpy(&b1, b + n - size, size);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    };
    if (n >= 8 && n <= 16) return words_equal(std::uint64_t{}, 8);
    if (n >= 4 && n < 8) return words_equal(std::uint32_t{}, 4);
    if (n > 16) return std::memcmp(a, b, n) == 0;
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// A piece or two of text at a time, the common case, is copied without a
// call.
inline void copy_short(char* to, std::string_view text) noexcept {
    if (text.size() <= 16) {
        for (char c : text) *to++ = c;
    } else {
        std::memcpy(to, text.data(), text.size());
    }
}

struct ItemsCell : Counted {
    ItemsCell(std::size_t n, std::uint64_t w) noexcept : Counted(CellKind::Vector), count(n), size(w) {}
    std::size_t count;
    std::uint64_t size;  // Value::size() of the vector
    Value* items() noexcept { return reinterpret_cast<Value*>(this + 1); }
    const Value* items() const noexcept { return reinterpret_cast<const Value*>(this + 1); }
};

struct FunctionCell : Counted {
    explicit FunctionCell(std::unique_ptr<QuarnFunction> fn) noexcept
        : Counted(CellKind::Function, kReachesFunction), f(std::move(fn)) {}
    std::unique_ptr<QuarnFunction> f;
};

}  // namespace detail

inline Value Value::real(double x) noexcept { return Value(Tag::Float, std::bit_cast<std::uint64_t>(x)); }

inline Number Value::as_number() const noexcept {
    return tag_ == Tag::Int ? Number::Int(as_int()) : Number::Float(std::bit_cast<double>(word_));
}

inline detail::TextCell* Value::text_cell() const noexcept { return static_cast<detail::TextCell*>(cell()); }

inline void Value::append_unseen(std::string_view tail) {
    std::size_t size = text_cell()->size + tail.size();
    if (size > text_cell()->capacity) grow_text(size);
    detail::TextCell* text = text_cell();
    detail::copy_short(text->data() + text->size, tail);
    text->size = size;
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

inline std::uint64_t Value::size() const noexcept {
    switch (tag_) {
    case Tag::String: {
        std::size_t bytes = static_cast<const detail::TextCell*>(cell())->size;
        return bytes > 0 ? bytes : 1;
    }
    case Tag::Vector: return static_cast<const detail::ItemsCell*>(cell())->size;
    default: return 1;
    }
}

inline bool Value::reaches_function() const noexcept {
    return is_shared() && (cell()->flags & detail::kReachesFunction);
}

class Meter;

// Equality as Quarn defines it: the left operand picks the rule, and some
// pairs of kinds are fatal errors rather than false. Vectors of any depth
// compare without recursion and stop at the first unequal pair; each pair of
// items compared is charged to `meter`, if given.
bool equals(const Value& left, const Value& right, Meter* meter = nullptr);

}  // namespace quarn
