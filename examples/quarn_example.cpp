// The language core on its own: build a small program as a tree, run it on a
// machine and print what it left behind.
#include <iostream>

#include "quarn/eval.hpp"

using namespace quarn;

int main() {
    Machine machine = Machine::create();
    Program program;
    program.emplace_back(Let{Identifier::S("price"), Expr(Literal{Number::Int(1200)})});
    program.emplace_back(Let{Identifier::S("discounted"),
                             Expr::binary_op(Expr(Ident{Identifier::S("price")}), Operator::Mul,
                                             Expr(Literal{Number::Float(0.85)}))});
    deduce(machine, std::move(program));
    std::cout << debug_string(*machine.get(Identifier::S("discounted"))) << "\n";
    std::cout << machine.debug() << "\n";
}
