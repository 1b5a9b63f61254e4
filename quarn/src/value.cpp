#include "quarn/value.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "quarn/error.hpp"
#include "quarn/pool.hpp"
#include "quarn/teardown.hpp"

namespace quarn {

// ------------------------------------------------------------ shared cells

namespace detail {
void* ValueCell::operator new(std::size_t size) { return pool::allocate(size); }
void ValueCell::operator delete(void* p, std::size_t size) noexcept { pool::release(p, size); }
}  // namespace detail

Shared Shared::make(Value value) {
    return Shared(new detail::ValueCell{{1}, std::move(value)});
}

void destroy_cell(detail::ValueCell* cell) noexcept {
    Kind k = cell->value.kind();
    if (k != Kind::Vector && k != Kind::Function) {
        delete cell;
        return;
    }
    teardown::run([](void* p) { delete static_cast<detail::ValueCell*>(p); }, cell);
}

// ------------------------------------------------------------ FunctionBox

FunctionBox::FunctionBox(std::unique_ptr<QuarnFunction> f) noexcept : f_(std::move(f)) {}
FunctionBox::FunctionBox(const FunctionBox& other) : f_(other.f_->clone_box()) {}
FunctionBox& FunctionBox::operator=(const FunctionBox& other) {
    f_ = other.f_->clone_box();
    return *this;
}
FunctionBox::~FunctionBox() = default;

// ----------------------------------------------------------------- Number

Number Number::div(Number a, Number b) {
    if (a.is_int() && b.is_int()) {
        std::int64_t x = a.as_int(), y = b.as_int();
        if (y == 0) fail("attempt to divide by zero");
        if (y == -1 && x == std::numeric_limits<std::int64_t>::min())
            fail("attempt to divide with overflow");
        return Int(x / y);
    }
    return Float(a.to_double() / b.to_double());
}

// --------------------------------------------------------------- equality

namespace {

// Compares two values that are not both vectors, or reports that they are.
// Returns 1 (equal), 0 (unequal) or -1 (both vectors: compare elements).
int compare_flat(const Value& l, const Value& r) {
    switch (l.kind()) {
    case Kind::Null:
        return r.kind() == Kind::Null;
    case Kind::Boolean:
        if (r.kind() != Kind::Boolean) fail("Expected other item to be Value::Boolean");
        return std::get<bool>(l.v) == std::get<bool>(r.v);
    case Kind::String:
        if (r.kind() != Kind::String) fail("Expected other item to be Value::String");
        return std::get<std::string>(l.v) == std::get<std::string>(r.v);
    case Kind::Number: {
        if (r.kind() != Kind::Number) fail("Expected other item to be Value::Number");
        const Number& a = std::get<Number>(l.v);
        const Number& b = std::get<Number>(r.v);
        if (a.is_int() != b.is_int()) return 0;
        return a.is_int() ? a.as_int() == b.as_int() : a.as_float() == b.as_float();
    }
    case Kind::Vector:
        if (r.kind() != Kind::Vector) fail("Expected other item to be Value::Vector");
        return std::get<Vector>(l.v).size() == std::get<Vector>(r.v).size() ? -1 : 0;
    case Kind::Function:
        fail("Cannot perform PartialEq for Value::Fn");
    }
    return 0;
}

}  // namespace

// Depth-first with an explicit stack, first elements first, so that vectors
// of any depth compare without recursion and stop at the first difference.
bool equals(const Value& left, const Value& right) {
    int flat = compare_flat(left, right);
    if (flat >= 0) return flat == 1;
    std::vector<std::pair<const Value*, const Value*>> pending;
    auto push_elements = [&](const Value& l, const Value& r) {
        const Vector& a = std::get<Vector>(l.v);
        const Vector& b = std::get<Vector>(r.v);
        for (std::size_t i = a.size(); i-- > 0;) pending.push_back({&*a[i], &*b[i]});
    };
    push_elements(left, right);
    while (!pending.empty()) {
        auto [l, r] = pending.back();
        pending.pop_back();
        int result = compare_flat(*l, *r);
        if (result == 0) return false;
        if (result < 0) push_elements(*l, *r);
    }
    return true;
}

// ------------------------------------------------------------ debug forms

namespace {

void append_hex(std::string& out, std::uint32_t c) {
    char buf[8];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, c, 16);
    out.append(buf, end);
}

// Decodes one UTF-8 sequence; malformed bytes decode as U+FFFD one at a time.
char32_t next_code_point(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(i);
    int len = b0 < 0x80 ? 1 : b0 >> 5 == 6 ? 2 : b0 >> 4 == 14 ? 3 : b0 >> 3 == 30 ? 4 : 0;
    if (len == 0 || i + len > text.size()) {
        ++i;
        return 0xFFFD;
    }
    char32_t c = len == 1 ? b0 : b0 & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    i += len;
    return c;
}

}  // namespace

void debug_quoted(std::string& out, std::string_view text) {
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t start = i;
        char32_t c = next_code_point(text, i);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default:
            if (is_printable(c) && c != 0xFFFD) {
                out.append(text.substr(start, i - start));
            } else if (c == 0xFFFD && i - start == 3) {
                out.append(text.substr(start, 3));  // a genuine U+FFFD
            } else {
                out += "\\u{";
                append_hex(out, c);
                out += '}';
            }
        }
    }
    out += '"';
}

// Shortest round-trip digits; plain notation for zero and for magnitudes in
// [1e-4, 1e16), scientific otherwise.
void debug_float(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
        return;
    }
    if (std::signbit(x)) out += '-';
    x = std::fabs(x);
    if (std::isinf(x)) {
        out += "inf";
        return;
    }
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string_view sci(buf, end - buf);
    std::size_t e = sci.find('e');
    std::string digits;
    for (char ch : sci.substr(0, e))
        if (ch != '.') digits += ch;
    int exp = 0;
    std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exp);
    int n = static_cast<int>(digits.size());
    if (x == 0 || (x >= 1e-4 && x < 1e16)) {
        if (exp < 0) {
            out += "0.";
            out.append(-exp - 1, '0');
            out += digits;
        } else if (exp + 1 >= n) {
            out += digits;
            out.append(exp + 1 - n, '0');
            out += ".0";
        } else {
            out += digits.substr(0, exp + 1);
            out += '.';
            out += digits.substr(exp + 1);
        }
        return;
    }
    out += digits[0];
    if (n > 1) {
        out += '.';
        out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(exp);
}

void debug(std::string& out, const Number& number) {
    if (number.is_int()) {
        out += "Int(";
        out += std::to_string(number.as_int());
    } else {
        out += "Float(";
        debug_float(out, number.as_float());
    }
    out += ')';
}

void debug(std::string& out, const Identifier& id) {
    if (id.is_u()) {
        out += "U(";
        out += std::to_string(id.u());
    } else {
        out += "S(";
        debug_quoted(out, id.s());
    }
    out += ')';
}

namespace {

// Prints a value that is not a non-empty vector completely; for a non-empty
// vector prints its opening and returns it so the caller walks its elements.
const Vector* open_value(std::string& out, const Value& value) {
    switch (value.kind()) {
    case Kind::Null: out += "Null"; break;
    case Kind::Boolean: out += std::get<bool>(value.v) ? "Boolean(true)" : "Boolean(false)"; break;
    case Kind::String:
        out += "String(";
        debug_quoted(out, std::get<std::string>(value.v));
        out += ')';
        break;
    case Kind::Number:
        out += "Number(";
        debug(out, std::get<Number>(value.v));
        out += ')';
        break;
    case Kind::Vector: {
        const Vector& items = std::get<Vector>(value.v);
        out += "Vector([";
        if (!items.empty()) return &items;
        out += "])";
        break;
    }
    case Kind::Function:
        out += "Function(";
        std::get<FunctionBox>(value.v)->fmt_debug(out);
        out += ')';
        break;
    }
    return nullptr;
}

}  // namespace

void debug(std::string& out, const Value& value) {
    const Vector* first = open_value(out, value);
    if (!first) return;
    std::vector<std::pair<const Vector*, std::size_t>> open{{first, 0}};
    while (!open.empty()) {
        auto& [items, next] = open.back();
        if (next == items->size()) {
            out += "])";
            open.pop_back();
            continue;
        }
        if (next > 0) out += ", ";
        const Value& item = *(*items)[next++];
        if (const Vector* inner = open_value(out, item)) open.push_back({inner, 0});
    }
}

}  // namespace quarn
