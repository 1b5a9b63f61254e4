#pragma once
// Identifiers, numbers and run-time values, and the shared handle through
// which evaluated values are stored, passed around and held as vector elements.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quarn {

// ---------------------------------------------------------------- Identifier

// The name of a variable: numbered (U) or textual (S). U(1) and S("1") differ.
struct Identifier {
    std::variant<std::uint64_t, std::string> name;

    static Identifier U(std::uint64_t n) { return Identifier{n}; }
    static Identifier S(std::string s) { return Identifier{std::move(s)}; }

    bool is_u() const noexcept { return name.index() == 0; }
    std::uint64_t u() const { return std::get<0>(name); }
    const std::string& s() const { return std::get<1>(name); }

    friend bool operator==(const Identifier&, const Identifier&) = default;
};

// ------------------------------------------------------------------- Number

struct Number {
    std::variant<double, std::int64_t> v;  // Float, Int

    static Number Float(double x) { return Number{x}; }
    static Number Int(std::int64_t n) { return Number{n}; }

    bool is_int() const noexcept { return v.index() == 1; }
    double as_float() const { return std::get<0>(v); }
    std::int64_t as_int() const { return std::get<1>(v); }
    // The nearest double (ties to even), as the processor converts.
    double to_double() const noexcept {
        return is_int() ? static_cast<double>(std::get<1>(v)) : std::get<0>(v);
    }

    static Number div(Number a, Number b);
};

// -------------------------------------------------------------------- Value

struct Value;
class QuarnFunction;

namespace detail {
struct ValueCell;
}

// Destroys a cell whose count reached zero, without deep recursion.
void destroy_cell(detail::ValueCell* cell) noexcept;

// A thread-safe, reference-counted handle to an immutable Value. The count
// lives inside the value's single allocation. A handle may be empty only
// where an operation says "or nothing".
class Shared {
public:
    Shared() noexcept = default;
    static Shared make(Value value);

    Shared(const Shared& other) noexcept;
    Shared(Shared&& other) noexcept : cell_(std::exchange(other.cell_, nullptr)) {}
    Shared& operator=(Shared other) noexcept {
        std::swap(cell_, other.cell_);
        return *this;
    }
    ~Shared() { release(); }

    explicit operator bool() const noexcept { return cell_ != nullptr; }
    const Value& operator*() const noexcept;
    const Value* operator->() const noexcept { return &**this; }
    bool same_as(const Shared& other) const noexcept { return cell_ == other.cell_; }
    std::size_t use_count() const noexcept;

private:
    explicit Shared(detail::ValueCell* cell) noexcept : cell_(cell) {}
    void release() noexcept;
    detail::ValueCell* cell_ = nullptr;
};

// The owned pointer of a Function value or an Fn statement. Copying it is a
// clone_box of the function it holds; nothing else ever duplicates one.
class FunctionBox {
public:
    explicit FunctionBox(std::unique_ptr<QuarnFunction> f) noexcept;
    FunctionBox(const FunctionBox& other);
    FunctionBox(FunctionBox&&) noexcept = default;
    FunctionBox& operator=(const FunctionBox& other);
    FunctionBox& operator=(FunctionBox&&) noexcept = default;
    ~FunctionBox();

    QuarnFunction& operator*() const noexcept { return *f_; }
    QuarnFunction* operator->() const noexcept { return f_.get(); }
    QuarnFunction* get() const noexcept { return f_.get(); }

private:
    std::unique_ptr<QuarnFunction> f_;
};

struct Null {
    friend bool operator==(Null, Null) = default;
};
using Vector = std::vector<Shared>;

// Alternatives in this order: Null, Boolean, String, Number, Vector, Function.
using ValueVariant = std::variant<Null, bool, std::string, Number, Vector, FunctionBox>;

enum class Kind : std::uint8_t { Null, Boolean, String, Number, Vector, Function };

struct Value {
    ValueVariant v;

    Value() noexcept = default;
    Value(Null) noexcept {}
    Value(bool b) noexcept : v(b) {}
    Value(std::string s) noexcept : v(std::move(s)) {}
    Value(const char* s) : v(std::string(s)) {}
    Value(Number n) noexcept : v(n) {}
    Value(Vector items) noexcept : v(std::move(items)) {}
    Value(FunctionBox f) noexcept : v(std::move(f)) {}

    Kind kind() const noexcept { return static_cast<Kind>(v.index()); }
};

namespace detail {
struct ValueCell {
    std::atomic<std::size_t> refs;
    Value value;

    // The single allocation seam for shared values.
    static void* operator new(std::size_t size);
    static void operator delete(void* p, std::size_t size) noexcept;
};
}  // namespace detail

inline const Value& Shared::operator*() const noexcept { return cell_->value; }

inline Shared::Shared(const Shared& other) noexcept : cell_(other.cell_) {
    if (cell_) cell_->refs.fetch_add(1, std::memory_order_relaxed);
}

inline void Shared::release() noexcept {
    if (cell_ && cell_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy_cell(cell_);
}

inline std::size_t Shared::use_count() const noexcept {
    return cell_ ? cell_->refs.load(std::memory_order_relaxed) : 0;
}

// -------------------------------------------------------- QuarnFunction

class QuarnFunctionClone {
public:
    virtual ~QuarnFunctionClone() = default;
    virtual std::unique_ptr<QuarnFunction> clone_box() const = 0;
};

class DebugFormat {
public:
    virtual ~DebugFormat() = default;
    virtual void fmt_debug(std::string& out) const = 0;
};

// A callable held by a Function value. run may be called on any thread; an
// implementation that needs a host lock takes it itself.
class QuarnFunction : public QuarnFunctionClone, public DebugFormat {
public:
    // Takes over the argument handle; returns a fresh value.
    virtual Value run(Shared argument) = 0;
};

// ----------------------------------------------------------- operations

// Equality as Quarn defines it: the left operand picks the rule, and some
// pairs of kinds are fatal errors rather than false.
bool equals(const Value& left, const Value& right);

// Debug forms: Null, Number(Int(1)), Vector([...]), S("x"), ...
void debug(std::string& out, const Value& value);
void debug(std::string& out, const Number& number);
void debug(std::string& out, const Identifier& id);
void debug_float(std::string& out, double x);
void debug_quoted(std::string& out, std::string_view text);

template <class T>
std::string debug_string(const T& thing) {
    std::string out;
    debug(out, thing);
    return out;
}

// Whether a code point prints as itself inside quoted text (generated table).
bool is_printable(char32_t c) noexcept;

}  // namespace quarn
