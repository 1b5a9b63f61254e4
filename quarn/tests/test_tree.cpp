// Syntax tree constructors, deep copies and destruction.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "quarn/tree.hpp"

using namespace quarn;

namespace {

struct Probe : QuarnFunction {
    static inline int clones = 0;
    static inline int live = 0;
    Probe() { ++live; }
    ~Probe() override { --live; }
    std::unique_ptr<QuarnFunction> clone_box() const override {
        ++clones;
        return std::make_unique<Probe>();
    }
    void fmt_debug(std::string& out) const override { out += "Probe"; }
    Value run(Shared) override { return Value(); }
};

FunctionBox probe() { return FunctionBox(std::make_unique<Probe>()); }
Expr lit(Value v) { return Expr(Literal{std::move(v)}); }
Expr lit_int(std::int64_t n) { return lit(Value(Number::Int(n))); }
Expr ident(const char* name) { return Expr(Ident{Identifier::S(name)}); }

template <class Node>
const Node& as(const Expr& e) {
    return std::get<Node>(e.node);
}

// A program with five function objects at different depths.
Statement five_functions() {
    VectorExpr items;
    items.items.push_back(lit(Value(probe())));
    items.items.push_back(Expr::not_(lit(Value(probe()))));
    Program then;
    then.push_back(Fn{Identifier::S("f"), probe()});
    then.push_back(Let{Identifier::U(1), Expr::call(Identifier::S("g"), Expr(std::move(items)))});
    Program otherwise;
    otherwise.push_back(Fn{Identifier::U(2), probe()});
    return If{std::move(then), std::move(otherwise),
              Expr::equals(lit(Value(probe())), ident("x"))};
}

}  // namespace

TEST(Tree, ConstructorsBuildTheirVariant) {
    Expr b = Expr::binary_op(lit_int(1), Operator::Sub, ident("y"));
    ASSERT_EQ(b.node.index(), 2u);
    EXPECT_EQ(as<BinaryOp>(b).op, Operator::Sub);
    EXPECT_EQ(debug_string(std::get<Literal>(as<BinaryOp>(b).left->node).value), "Number(Int(1))");
    EXPECT_EQ(std::get<Ident>(as<BinaryOp>(b).right->node).id, Identifier::S("y"));

    EXPECT_EQ(Expr::equals(lit_int(1), lit_int(2)).node.index(), 3u);
    EXPECT_EQ(Expr::not_(lit_int(1)).node.index(), 4u);  // no check of operand kinds
    EXPECT_EQ(Expr::greater_than(lit_int(1), lit_int(2)).node.index(), 5u);
    EXPECT_EQ(Expr::less_than(lit_int(1), lit_int(2)).node.index(), 6u);
    Expr c = Expr::call(Identifier::U(9), Expr(VectorExpr{}));
    ASSERT_EQ(c.node.index(), 7u);
    EXPECT_EQ(as<Call>(c).ident, Identifier::U(9));
    EXPECT_TRUE(as<VectorExpr>(*as<Call>(c).arg).items.empty());
    EXPECT_EQ(Expr(VectorExpr{}).node.index(), 8u);
}

TEST(Tree, DeepCopyClonesEachFunctionOnce) {
    Probe::clones = 0;
    {
        Statement source = five_functions();
        EXPECT_EQ(Probe::live, 5);
        {
            Statement copy = source;
            EXPECT_EQ(Probe::clones, 5);
            EXPECT_EQ(Probe::live, 10);
            const auto& a = std::get<If>(source.node);
            const auto& b = std::get<If>(copy.node);
            EXPECT_NE(std::get<Fn>(a.then[0].node).f.get(), std::get<Fn>(b.then[0].node).f.get());
            EXPECT_NE(as<Equals>(a.cond).left.get(), as<Equals>(b.cond).left.get());
        }
        EXPECT_EQ(Probe::live, 5);
        Program twice;  // the source survives and can be copied again
        twice.reserve(2);
        twice.push_back(source);
        twice.push_back(source);
        EXPECT_EQ(Probe::clones, 15);
        Statement assigned = Let{Identifier::U(0), lit(Value(probe()))};
        assigned = source;
        EXPECT_EQ(Probe::clones, 20);
        EXPECT_EQ(Probe::live, 20);
    }
    EXPECT_EQ(Probe::live, 0);
}

TEST(Tree, LiteralVectorCopySharesElements) {
    Shared elem = Shared::make(Value("payload"));
    Expr copy;
    {
        Expr source = lit(Value(Vector{elem, elem}));
        copy = source;
        EXPECT_EQ(elem.use_count(), 5u);
        const auto& a = std::get<Vector>(as<Literal>(source).value.v);
        const auto& b = std::get<Vector>(as<Literal>(copy).value.v);
        EXPECT_TRUE(a[0].same_as(b[0]));
    }
    EXPECT_EQ(elem.use_count(), 3u);
    EXPECT_EQ(debug_string(as<Literal>(copy).value), "Vector([String(\"payload\"), String(\"payload\")])");
    copy = Expr();
    EXPECT_EQ(elem.use_count(), 1u);
}

TEST(Tree, CopyIsIndependentOfSource) {
    Program source;
    source.push_back(Let{Identifier::S("x"), Expr::call(Identifier::S("f"), ident("y"))});
    source.push_back(If{{}, {}, Expr(VectorExpr{})});
    for (int i = 0; i < 3; ++i) {
        Program copy = source;
        ASSERT_EQ(copy.size(), 2u);
        auto& let = std::get<Let>(copy[0].node);
        EXPECT_EQ(let.ident, Identifier::S("x"));
        EXPECT_NE(as<Call>(let.expr).arg.get(), as<Call>(std::get<Let>(source[0].node).expr).arg.get());
        EXPECT_TRUE(std::get<If>(copy[1].node).then.empty());
        let.ident = Identifier::S("changed");
    }
    EXPECT_EQ(std::get<Let>(source[0].node).ident, Identifier::S("x"));
}
