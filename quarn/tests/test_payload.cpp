// Payloads: trees and machines written flat and read back, sharing kept,
// and bytes that are not a payload refused with a message, never a crash.

#include <gtest/gtest.h>

#include <optional>
#include <variant>

#include "crc32.hpp"
#include "quarn/eval.hpp"
#include "quarn/payload.hpp"
#include "support.hpp"

using namespace quarn;
using namespace quarn::test_support;

namespace {

// The functions a payload names, as the host would keep them.
struct Written {
    std::string bytes;
    std::vector<const QuarnFunction*> functions;
};

void collect(const QuarnFunction& f, void* context) {
    static_cast<std::vector<const QuarnFunction*>*>(context)->push_back(&f);
}

template <class Holder>
Written write(const Holder& holder) {
    Written out;
    out.bytes = to_payload(holder, collect, &out.functions);
    return out;
}

Expr read_expr(const Written& w) { return std::get<Expr>(tree_from_payload(w.bytes, w.functions)); }
Statement read_statement(const Written& w) { return std::get<Statement>(tree_from_payload(w.bytes, w.functions)); }

std::string refusal(std::string_view bytes, PayloadFunctions functions = {}) {
    try {
        tree_from_payload(bytes, functions);
    } catch (const BadPayload& e) {
        return e.what();
    }
    return "<read>";
}

std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out.push_back(static_cast<char>(b));
    return out;
}

// The bytes followed by their checksum, as the writer ends a payload.
std::string sealed(std::string body) {
    std::uint32_t sum = crc32(body);
    for (int i = 0; i < 4; ++i, sum >>= 8) body.push_back(static_cast<char>(sum & 0xFF));
    return body;
}

// Every kind of node and of value, names of both kinds, a function.
Program every_kind() {
    Value text = S("caf\xC3\xA9"), items = vec({Value(), B(true), B(false), I(-7), F(-0.0), text, vec({}), text});
    Expr x = id("x");
    return {
        Statement::fn(Identifier::S("f"), std::make_unique<Probe>("f")),
        let("x", lit(I(INT64_MIN))),
        let("v", lit(items)),
        Statement::let(Identifier::U(UINT64_MAX), vexpr({x, lit(F(2.5)), Expr::not_(lit(B(false)))})),
        let("lt", Expr::less_than(x, lit(I(1)))),
        Statement::if_(Expr::greater_than(x, lit(I(1))), {let("a", lit(S("")))},
                       {let("b", Expr::equals(lit(Value()), x)), let("c", call("f", x))}),
        let("s", lit(S("t"))),
        let("s", Expr::binary_op(id("s"), Operator::Add, lit(S("u")))),
        let("n", Expr::binary_op(Expr::binary_op(lit(I(7)), Operator::Sub, lit(I(2))), Operator::Mul,
                                 Expr::binary_op(lit(F(9)), Operator::Div, lit(I(3))))),
    };
}

}  // namespace

// A tree read back runs as the original does and writes the same bytes.
TEST(Payload, EveryKindRoundTrips) {
    Statement tree = Statement::if_(lit(B(true)), every_kind(), {});
    Written w = write(tree);
    ASSERT_EQ(w.functions.size(), 1u);
    Statement back = read_statement(w);
    EXPECT_EQ(write(back).bytes, w.bytes);
    Machine a = Machine::create(), b = Machine::create();
    run(a, tree);
    run(b, back);
    for (const char* name : {"x", "v", "lt", "a", "b", "c", "s", "n"})
        EXPECT_EQ(debug_string(b.vars.lookup(IdentifierView::S(name)).value_or(S("unbound"))),
                  debug_string(a.vars.lookup(IdentifierView::S(name)).value_or(S("unbound"))));
    EXPECT_EQ(debug_string(b.get(IdentifierView::U(UINT64_MAX))), debug_string(a.get(IdentifierView::U(UINT64_MAX))));
    auto& body = static_cast<const detail::IfNode&>(back.node()).then;
    EXPECT_TRUE(static_cast<const detail::LetNode&>(body[7].node()).appends);  // worked out again
}

TEST(Payload, ExpressionsAndStatementsAreToldApart) {
    Written e = write(lit(I(1)));
    EXPECT_EQ(e.bytes, sealed(bytes({kPayloadVersion, 0, 3, 2, 16})));
    EXPECT_TRUE(std::holds_alternative<Expr>(tree_from_payload(e.bytes, {})));
    Written s = write(let("x", lit(I(1))));
    EXPECT_EQ(s.bytes, sealed(bytes({kPayloadVersion, 1, 3, 2, 16, 32, 3, 'x'})));
    EXPECT_TRUE(std::holds_alternative<Statement>(tree_from_payload(s.bytes, {})));
}

// Sixty doublings make 61 distinct nodes standing for 2^60: each is written
// once, and read back shared.
TEST(Payload, SharedSubtreesAndValuesStayShared) {
    Value v = vec({I(1)});
    Expr e = lit(v);
    for (int i = 0; i < 60; ++i) {
        v = vec({v, v});
        e = Expr::binary_op(e, Operator::Add, e);
    }
    Expr tree = vexpr({e, lit(v), lit(v)});
    Written w = write(tree);
    EXPECT_LT(w.bytes.size(), 700u);
    Expr back = read_expr(w);
    EXPECT_EQ(write(back).bytes, w.bytes);
    auto& items = static_cast<const detail::VectorNode&>(back.node());
    auto& sum = static_cast<const detail::PairNode&>(items.items()[0].node());
    EXPECT_TRUE(sum.left.same_node(sum.right));
    auto& first = static_cast<const detail::LiteralNode&>(items.items()[1].node()).value;
    auto& second = static_cast<const detail::LiteralNode&>(items.items()[2].node()).value;
    EXPECT_TRUE(first.same_cell(second));
    EXPECT_TRUE(first.as_vector()[0].same_cell(first.as_vector()[1]));
    EXPECT_EQ(first.size(), v.size());
}

// Who else holds an object changes nothing in the payload.
TEST(Payload, OutsideHoldersDoNotChangeTheBytes) {
    Expr leaf = lit(S("a"));
    std::string alone = write(Expr::not_(Expr::not_(lit(S("a"))))).bytes;
    Expr inner = Expr::not_(leaf);
    EXPECT_EQ(write(Expr::not_(inner)).bytes, alone);
}

TEST(Payload, DeepTreesRoundTripWithoutRecursion) {
    Expr e = lit(I(0));
    for (int i = 0; i < 200000; ++i) e = i % 2 ? Expr::not_(e) : Expr::binary_op(lit(I(i)), Operator::Add, e);
    Statement tree = let("deep", e);
    Written w = write(tree);
    EXPECT_EQ(write(read_statement(w)).bytes, w.bytes);
}

TEST(Payload, FunctionsAreClonedFromTheHostsList) {
    Probe::reset();
    {
        Value f = fn("shared");
        Statement g = Statement::fn(Identifier::S("g"), std::make_unique<Probe>("g"));
        Statement tree = Statement::if_(lit(vec({f, f})), {g}, {let("h", lit(fn("h")))});
        Written w = write(tree);
        ASSERT_EQ(w.functions.size(), 3u);  // the shared cell once
        Statement back = read_statement(w);
        EXPECT_EQ(Probe::clones, 3);
        EXPECT_TRUE(back.reaches_function());
        EXPECT_EQ(refusal(w.bytes, std::span(w.functions).first(2)),
                  "invalid payload: function 2 is not among the 2 given (in the record at byte 13)");
    }
    EXPECT_EQ(Probe::live, 0);
}

TEST(Payload, MachinesKeepLimitsVariablesAndSharing) {
    Machine m = Machine::create({1000, UINT64_MAX});
    Value big = vec({S("x"), I(2)});
    m.vars.insert(Identifier::S("a"), big);
    m.vars.insert(Identifier::U(3), big);
    m.vars.insert(Identifier::S("f"), fn("f"));
    Written w = write(m);
    Machine back = machine_from_payload(w.bytes, w.functions);
    EXPECT_EQ(back.limits.max_operations, 1000u);
    EXPECT_EQ(back.limits.max_value_size, UINT64_MAX);
    EXPECT_TRUE(back.get(IdentifierView::S("a")).same_cell(back.get(IdentifierView::U(3))));
    EXPECT_EQ(debug_string(back.get(IdentifierView::S("a"))), debug_string(big));
    EXPECT_EQ(back.get(IdentifierView::S("f")).kind(), Kind::Function);
    EXPECT_THROW(tree_from_payload(w.bytes, w.functions), BadPayload);
    EXPECT_THROW(machine_from_payload(write(lit(I(1))).bytes, {}), BadPayload);
}

TEST(Payload, CopiedMachinesAreIndependent) {
    Machine m = Machine::create({5, 6});
    m.vars.insert(Identifier::S("a"), I(1));
    Machine copy = m.copy();
    copy.vars.insert(Identifier::S("a"), I(2));
    copy.vars.insert(Identifier::S("b"), I(3));
    EXPECT_EQ(m.get(IdentifierView::S("a")).as_int(), 1);
    EXPECT_FALSE(m.vars.lookup(IdentifierView::S("b")));
    EXPECT_EQ(copy.limits.max_value_size, 6u);
}

TEST(Payload, MalformedBytesAreRefused) {
    const std::pair<std::string, std::string> unsealed[] = {
        {"", "it is empty"},
        {bytes({2, 0}), "its version is 2; this velmo reads version 1"},
        {bytes({1, 0, 0, 0, 0}), "it ends before its checksum"},
        {bytes({1, 0, 3, 2, 16, 0, 0, 0, 0}),
         "its checksum does not match its bytes: they were changed or cut short"},
    };
    for (const auto& [input, message] : unsealed) EXPECT_EQ(refusal(input), "invalid payload: " + message);
    const std::pair<std::string, std::string> cases[] = {
        {bytes({1, 9}), "it holds an unknown kind 9"},
        {bytes({1, 2, 0, 0}), "it holds a machine, not a tree"},
        {bytes({1, 0}), "it must end with one expression and ends with 0 objects"},
        {bytes({1, 0, 3, 2, 16, 0}), "it must end with one expression and ends with 2 objects"},
        {bytes({1, 1, 3, 2, 16}), "it must end with one statement and ends with 1 objects"},
        {bytes({1, 0, 3, 0x80}), "it ends inside a record (in the record at byte 2)"},
        {bytes({1, 0, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2}),
         "a number does not fit in 64 bits (in the record at byte 2)"},
        {bytes({1, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}),
         "a length of 4294967295 goes past its end (in the record at byte 2)"},
        {bytes({1, 0, 5, 1, 0xC0}), "a text is not UTF-8 (in the record at byte 2)"},
        {bytes({1, 0, 6, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}),
         "the record takes 4294967295 objects where 0 precede it (in the record at byte 2)"},
        {bytes({1, 0, 8, 0}), "the record refers to object 0 of 0 (in the record at byte 2)"},
        {bytes({1, 0, 0x83, 2, 8, 1, 16}), "the record refers to object 1 of 1 (in the record at byte 4)"},
        {bytes({1, 0, 0x88, 0}), "a reference or binding cannot be remembered (in the record at byte 2)"},
        {bytes({1, 0, 17, 4}), "name 1 is not in the table of names (in the record at byte 2)"},
        {bytes({1, 0, 9}), "the record's tag 9 is unknown (in the record at byte 2)"},
        {bytes({1, 0, 0x7F}), "the record's tag 127 is unknown (in the record at byte 2)"},
        {bytes({1, 0, 0, 48, 0, 0}), "a tree has no variables to bind (in the record at byte 3)"},
        {bytes({1, 0, 7, 0}), "function 0 is not among the 0 given (in the record at byte 2)"},
        {bytes({1, 1, 18}), "the record takes 1 objects where 0 precede it (in the record at byte 2)"},
        {bytes({1, 1, 33, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1}),
         "the record takes 1 and 18446744073709551615 statements where 0 precede it (in the record at byte 2)"},
    };
    for (const auto& [input, message] : cases) EXPECT_EQ(refusal(sealed(input)), "invalid payload: " + message);
}

// Every prefix and every one-bit change of a real payload is refused, by
// its version or its checksum.
TEST(Payload, CutAndFlippedPayloadsAreRefused) {
    Statement tree = Statement::if_(lit(B(true)), every_kind(), every_kind());
    Written w = write(tree);
    int read = 0;
    for (std::size_t n = 0; n < w.bytes.size(); ++n) EXPECT_NE(refusal(w.bytes.substr(0, n), w.functions), "<read>");
    for (std::size_t i = 0; i < w.bytes.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string flipped = w.bytes;
            flipped[i] = static_cast<char>(flipped[i] ^ (1 << bit));
            read += refusal(flipped, w.functions) == "<read>";
        }
    }
    EXPECT_EQ(read, 0);
}

// The same one-bit changes sealed again with their checksum, so that they
// reach the records: each is refused with its reason, or reads as a tree or
// machine that writes back and reads again to the same bytes, and runs.
// A flip that turns one valid record into another is read, of course.
template <class Read, class Use>
int flips_read(const std::string& payload, Read&& read, Use&& use) {
    std::string body = payload.substr(0, payload.size() - 4);
    int read_count = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string flipped = body;
            flipped[i] = static_cast<char>(flipped[i] ^ (1 << bit));
            try {
                use(read(sealed(flipped)));
                ++read_count;
            } catch (const BadPayload& refused) {
                EXPECT_EQ(std::string(refused.what()).rfind("invalid payload: ", 0), 0u) << refused.what();
            }
        }
    }
    return read_count;
}

TEST(Payload, FlipsPastTheChecksumOfATreeAreRefusedOrReadWhole) {
    Statement tree = Statement::if_(lit(B(true)), every_kind(), every_kind());
    Written w = write(tree);
    auto read_tree = [&](const std::string& bytes) { return tree_from_payload(bytes, w.functions); };
    int trees = flips_read(w.bytes, read_tree, [&](const std::variant<Expr, Statement>& back) {
        auto bytes_of = [](const std::variant<Expr, Statement>& t) {
            return std::visit([](const auto& x) { return write(x).bytes; }, t);
        };
        std::string again = bytes_of(back);
        EXPECT_EQ(bytes_of(read_tree(again)), again);
        Machine m = Machine::create({10000, 1 << 16});
        try {
            if (auto* statement = std::get_if<Statement>(&back)) run(m, *statement);
        } catch (const Fatal&) {  // a program read whole may still fail, as any may
        }
    });
    EXPECT_GT(trees, 0);
}

TEST(Payload, FlipsPastTheChecksumOfAMachineAreRefusedOrReadWhole) {
    Machine m = Machine::create();
    Value shared = vec({S("x"), I(2), vec({})});
    m.vars.insert(Identifier::S("a"), shared);
    m.vars.insert(Identifier::U(3), vec({shared, shared, F(0.5)}));
    m.vars.insert(Identifier::S("f"), fn("f"));
    Written wm = write(m);
    for (Writers writers : {Writers::Concurrent, Writers::Serialized}) {
        auto read_machine = [&](const std::string& bytes) {
            return machine_from_payload(bytes, wm.functions, writers);
        };
        int machines = flips_read(wm.bytes, read_machine, [&](Machine back) {
            Machine again = read_machine(write(back).bytes);  // its table's order is its own
            for (const auto& [binding, value] : back.vars.entries()) {
                std::optional<Value> copy = again.vars.lookup(binding->id);
                EXPECT_TRUE(copy && copy->kind() == value.kind() && copy->size() == value.size());
                try {
                    run(back, Statement::let(binding->id, Expr::ident(binding->id)));
                } catch (const Fatal&) {  // the limits it reads may be any
                }
            }
        });
        EXPECT_GT(machines, 0);
    }
}

TEST(Payload, ChecksumIsZlibsCrc32) {
    EXPECT_EQ(crc32(""), 0u);
    EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc32("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
}
