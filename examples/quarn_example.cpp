// The language core on its own: build a small program as a tree, run it on a
// machine and print what it left behind.
#include <iostream>

#include "quarn/debug.hpp"
#include "quarn/eval.hpp"

using namespace quarn;

int main() {
    Machine machine = Machine::create();
    Expr price = Expr::ident(Identifier::S("price"));
    Program program{
        Statement::let(Identifier::S("price"), Expr::literal(Value::integer(1200))),
        Statement::let(Identifier::S("discounted"),
                       Expr::binary_op(price, Operator::Mul, Expr::literal(Value::real(0.85)))),
    };
    run(machine, program);
    std::cout << debug_string(machine.get(Identifier::S("discounted"))) << "\n";
    std::cout << machine.debug() << "\n";
}
