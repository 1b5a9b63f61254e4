// Identifiers, value handles, equality, integer division and debug forms.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "support.hpp"

using namespace quarn;
using namespace quarn::test_support;

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

}  // namespace

TEST(Identifier, EqualityByVariantAndContent) {
    EXPECT_EQ(Identifier::U(1), Identifier::U(1));
    EXPECT_NE(Identifier::U(1), Identifier::U(2));
    EXPECT_NE(Identifier::U(1), Identifier::S("1"));
    EXPECT_EQ(Identifier::S(""), Identifier::S(""));
    EXPECT_NE(Identifier::S(std::string("a\0b", 3)), Identifier::S(std::string("a\0c", 3)));
    EXPECT_NE(Identifier::S("a"), Identifier::S(std::string("a\0", 2)));
}

// ------------------------------------------------------------ equality

struct EqualsCase {
    const char* name;
    Value left, right;
    std::variant<bool, std::string> expected;  // result or fatal message
};

std::vector<EqualsCase> equals_cases() {
    const std::string kBool = "Expected other item to be Value::Boolean";
    const std::string kString = "Expected other item to be Value::String";
    const std::string kNumber = "Expected other item to be Value::Number";
    const std::string kVector = "Expected other item to be Value::Vector";
    const std::string kFn = "Cannot perform PartialEq for Value::Fn";
    std::vector<EqualsCase> cases;
    cases.push_back({"null-null", Value(), Value(), true});
    cases.push_back({"null-bool", Value(), B(false), false});
    cases.push_back({"null-number", Value(), I(0), false});
    cases.push_back({"null-fn", Value(), fn("a"), false});
    cases.push_back({"bool-same", B(true), B(true), true});
    cases.push_back({"bool-diff", B(true), B(false), false});
    cases.push_back({"bool-null", B(true), Value(), kBool});
    cases.push_back({"string-same", S("ab"), S("ab"), true});
    cases.push_back({"string-prefix", S("ab"), S("abc"), false});
    cases.push_back({"string-empty", S(""), S(""), true});
    cases.push_back({"string-nul-bytes", S(std::string("a\0b", 3)),
                     S(std::string("a\0c", 3)), false});
    cases.push_back({"string-number", S("1"), I(1), kString});
    cases.push_back({"int-int", I(kMin), I(kMin), true});
    cases.push_back({"int-float", I(1), F(1.0), false});
    cases.push_back({"float-int", F(1.0), I(1), false});
    cases.push_back({"nan-nan", F(kNaN), F(kNaN), false});
    cases.push_back({"zero-negzero", F(0.0), F(-0.0), true});
    cases.push_back({"number-null", I(1), Value(), kNumber});
    cases.push_back({"vec-empty", vec({}), vec({}), true});
    cases.push_back({"vec-nested", vec({vec({I(1)}), Value()}), vec({vec({I(1)}), Value()}), true});
    cases.push_back({"vec-length-first", vec({S("a")}), vec({I(1), I(2)}), false});
    cases.push_back({"vec-stops-at-first", vec({I(1), S("a")}), vec({I(2), I(5)}), false});
    cases.push_back({"vec-element-error", vec({I(1), S("a")}), vec({I(1), I(5)}), kString});
    cases.push_back({"vec-null", vec({}), Value(), kVector});
    cases.push_back({"fn-fn", fn("a"), fn("a"), kFn});
    cases.push_back({"fn-null", fn("a"), Value(), kFn});
    return cases;
}

TEST(ValueEquals, Table) {
    for (const auto& c : equals_cases()) {
        SCOPED_TRACE(c.name);
        if (auto* b = std::get_if<bool>(&c.expected)) {
            EXPECT_EQ(equals(c.left, c.right), *b);
        } else {
            EXPECT_EQ(fatal_message([&] { equals(c.left, c.right); }), std::get<std::string>(c.expected));
        }
    }
}

TEST(ValueEquals, SameHandleTwiceIsComparedLikeAnyPair) {
    Value v = vec({F(kNaN)});
    EXPECT_FALSE(equals(v, v));
}

// ------------------------------------------------------------ division

TEST(NumberDiv, Table) {
    struct Case {
        Number a, b;
        std::string expected;  // debug form, or the fatal message
    };
    const Case cases[] = {
        {Number::Int(7), Number::Int(2), "Int(3)"},
        {Number::Int(7), Number::Int(-2), "Int(-3)"},
        {Number::Int(-7), Number::Int(2), "Int(-3)"},
        {Number::Int(1), Number::Int(2), "Int(0)"},
        {Number::Int(kMin), Number::Int(1), "Int(-9223372036854775808)"},
        {Number::Int(1), Number::Int(0), "attempt to divide by zero"},
        {Number::Int(0), Number::Int(0), "attempt to divide by zero"},
        {Number::Int(kMin), Number::Int(0), "attempt to divide by zero"},
        {Number::Int(kMin), Number::Int(-1), "attempt to divide with overflow"},
        {Number::Int(1), Number::Float(0.0), "Float(inf)"},
        {Number::Int(-1), Number::Float(0.0), "Float(-inf)"},
        {Number::Int(0), Number::Float(0.0), "Float(NaN)"},
        {Number::Float(3.0), Number::Int(2), "Float(1.5)"},
        {Number::Float(7.0), Number::Int(0), "Float(inf)"},
        {Number::Float(1.0), Number::Float(-0.0), "Float(-inf)"},
        // 2^53 + 1 converts to the nearest double, 2^53.
        {Number::Int(9007199254740993), Number::Float(1.0), "Float(9007199254740992.0)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(debug_string(c.a) + " / " + debug_string(c.b));
        std::string got;
        try {
            got = debug_string(Number::div(c.a, c.b));
        } catch (const Fatal& e) {
            got = e.message();
        }
        EXPECT_EQ(got, c.expected);
    }
}

// ------------------------------------------------------------ handles

TEST(ValueHandle, ScalarsAreInlineAndHeapValuesShared) {
    for (const Value& v : {Value(), B(true), I(-5), F(0.5)}) EXPECT_EQ(v.use_count(), 0u);
    Value text = S("shared text");
    Value copy = text;
    EXPECT_TRUE(copy.same_cell(text));
    EXPECT_EQ(text.use_count(), 2u);
    Value moved = std::move(copy);
    EXPECT_EQ(copy.kind(), Kind::Null);  // a moved-from value is null
    EXPECT_EQ(text.use_count(), 2u);
    moved = Value();
    EXPECT_EQ(text.use_count(), 1u);
    EXPECT_EQ(I(3).as_number().i, 3);
    EXPECT_TRUE(std::isnan(F(kNaN).as_number().f));
    EXPECT_EQ(S(std::string("a\0b", 3)).as_string(), std::string_view("a\0b", 3));
}

TEST(ValueHandle, VectorSharesItsItemsAndReleasesThemInOrder) {
    Probe::reset();
    Value a = fn("a");
    {
        Value v = vec({a, fn("b"), fn("c")});
        Value other = v;
        EXPECT_EQ(v.use_count(), 2u);
        EXPECT_TRUE(v.as_vector()[0].same_cell(a));
        EXPECT_EQ(a.use_count(), 2u);
        other = Value();
        EXPECT_TRUE(Probe::destroyed.empty());
    }
    // The vector's own items go in order; `a` is still held here.
    EXPECT_EQ(Probe::destroyed, (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(a.use_count(), 1u);
    EXPECT_EQ(Probe::clones, 0);  // sharing never clones a function
}

// ------------------------------------------------------------ debug forms

TEST(DebugForm, Values) {
    struct Case { Value value; std::string expected; };
    std::vector<Case> cases;
    cases.push_back({Value(), "Null"});
    cases.push_back({B(true), "Boolean(true)"});
    cases.push_back({B(false), "Boolean(false)"});
    cases.push_back({S("abc"), "String(\"abc\")"});
    cases.push_back({I(-3), "Number(Int(-3))"});
    cases.push_back({I(kMin), "Number(Int(-9223372036854775808))"});
    cases.push_back({F(0.5), "Number(Float(0.5))"});
    cases.push_back({vec({I(1), Value()}), "Vector([Number(Int(1)), Null])"});
    cases.push_back({vec({}), "Vector([])"});
    cases.push_back({vec({vec({}), vec({B(true)})}), "Vector([Vector([]), Vector([Boolean(true)])])"});
    cases.push_back({fn("g"), "Function(Probe<g>)"});
    for (const auto& c : cases) EXPECT_EQ(debug_string(c.value), c.expected);

    EXPECT_EQ(debug_string(Identifier::U(7)), "U(7)");
    EXPECT_EQ(debug_string(Identifier::U(UINT64_MAX)), "U(18446744073709551615)");
    EXPECT_EQ(debug_string(Identifier::S("x")), "S(\"x\")");
    EXPECT_EQ(debug_string(Identifier::S("")), "S(\"\")");
    std::string out = "keep:";
    debug(out, Value());
    EXPECT_EQ(out, "keep:Null");  // appends, never resets the sink
}

TEST(DebugForm, QuotedText) {
    struct Case { std::string text, expected; };
    const Case cases[] = {
        {"plain", "\"plain\""},
        {"a\"b", "\"a\\\"b\""},
        {"a\\b", "\"a\\\\b\""},
        {"\n\r\t", "\"\\n\\r\\t\""},
        {std::string("\0", 1), "\"\\0\""},
        {"it's ok", "\"it's ok\""},
        {"\x07\x1b", "\"\\u{7}\\u{1b}\""},
        {"\x7f", "\"\\u{7f}\""},
        {"\u00a0\u00ad", "\"\\u{a0}\\u{ad}\""},          // no-break space, soft hyphen
        {"\u200b\u2028\u3000", "\"\\u{200b}\\u{2028}\\u{3000}\""},
        {"\ue000\u0378", "\"\\u{e000}\\u{378}\""},         // private use, unassigned
        {"\U0010ffff", "\"\\u{10ffff}\""},
        {"h\u00e9 \u65e5\u672c \U0001f600 e\u0301", "\"h\u00e9 \u65e5\u672c \U0001f600 e\u0301\""},
    };
    for (const auto& c : cases) {
        std::string out;
        debug_quoted(out, c.text);
        EXPECT_EQ(out, c.expected);
    }
}

TEST(DebugForm, PrintableTable) {
    struct Case { char32_t c; bool printable; };
    const Case cases[] = {
        {0x00, false},    {0x1f, false},    {0x20, true},     {0x7e, true},    {0x7f, false},
        {0x9f, false},    {0xa0, false},    {0xa1, true},     {0xad, false},   {0x301, true},
        {0x378, false},   {0x2028, false},  {0x2029, false},  {0x3000, false}, {0x4e00, true},
        {0xd800, false},  {0xdfff, false},  {0xe000, false},  {0xfeff, false}, {0xfffd, true},
        {0x1f600, true},  {0xe0001, false}, {0x10ffff, false}, {0x110000, false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_printable(c.c), c.printable) << std::hex << +c.c;
}

TEST(DebugForm, Floats) {
    struct Case { double x; const char* expected; };
    const Case cases[] = {
        {1.0, "1.0"}, {1e16, "1e16"}, {0.0001, "0.0001"}, {1e-5, "1e-5"}, {1.5e-5, "1.5e-5"},
        {9.9e-5, "9.9e-5"}, {-2e20, "-2e20"}, {kNaN, "NaN"}, {-kNaN, "NaN"}, {kInf, "inf"},
        {-kInf, "-inf"}, {0.0, "0.0"}, {-0.0, "-0.0"}, {0.5, "0.5"}, {-2.25, "-2.25"},
        {0.1 + 0.2, "0.30000000000000004"}, {1234567.0, "1234567.0"}, {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"}, {9223372036854775808.0, "9.223372036854776e18"},
        {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e308"},
    };
    for (const auto& c : cases) {
        std::string out;
        debug_float(out, c.x);
        EXPECT_EQ(out, c.expected);
    }
    EXPECT_EQ(debug_string(Number::Float(1e-5)), "Float(1e-5)");
}
