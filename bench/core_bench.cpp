// Microbenchmarks of the language core: a run of a statement over a tree, per
// node, and the variable table's lookup and insert.
#include <benchmark/benchmark.h>

#include "quarn/eval.hpp"

using namespace quarn;

namespace {

// A balanced tree of additions over literals and a variable: 2^(depth+1) - 1 nodes.
Expr tree(int depth) {
    if (depth == 0) return Expr::literal(Value::integer(1));
    Expr right = depth == 1 ? Expr::ident(Identifier::S("x")) : tree(depth - 1);
    return Expr::binary_op(tree(depth - 1), Operator::Add, std::move(right));
}

void BM_RunLet(benchmark::State& state) {
    Machine machine = Machine::create();
    machine.vars.insert(Identifier::S("x"), Value::integer(2));
    const Statement let = Statement::let(Identifier::S("r"), tree(static_cast<int>(state.range(0))));
    for (auto _ : state) run(machine, let);
    state.SetItemsProcessed(state.iterations() * ((int64_t{2} << state.range(0)) - 1));
}
BENCHMARK(BM_RunLet)->Arg(4)->Arg(12);

void BM_Lookup(benchmark::State& state) {
    Machine machine = Machine::create();
    for (int i = 0; i < 1000; ++i) machine.vars.insert(Identifier::U(i), Value::integer(i));
    Identifier name = Identifier::U(500);
    for (auto _ : state) benchmark::DoNotOptimize(machine.vars.lookup(name));
}
BENCHMARK(BM_Lookup);

// One writer replacing a name while the other threads read it.
void BM_ReadWhileWriting(benchmark::State& state) {
    static Machine machine = Machine::create();
    Identifier name = Identifier::S("hot");
    for (auto _ : state) {
        if (state.thread_index() == 0)
            machine.vars.insert(name, Value::integer(1));
        else
            benchmark::DoNotOptimize(machine.vars.lookup(name));
    }
}
BENCHMARK(BM_ReadWhileWriting)->Threads(2)->Threads(4);

}  // namespace
