// Microbenchmarks of the language core: a run of a statement over a tree, per
// node, the variable table's lookup and insert, and W8's rule set over bound
// values (bench/README.md, "The core alone"), against the same rules written
// by hand in C++.
//
// QUARN_BENCH_ITERATIONS=N runs each benchmark exactly N times, for counting
// instructions with callgrind: the cost of one iteration is the difference of
// two such runs of different N, divided by the difference of the N.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quarn/assign.hpp"
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

void BM_Lookup(benchmark::State& state) {
    Machine machine = Machine::create();
    for (int i = 0; i < 1000; ++i) machine.vars.insert(Identifier::U(i), Value::integer(i));
    Identifier name = Identifier::U(500);
    for (auto _ : state) benchmark::DoNotOptimize(machine.vars.lookup(name));
}

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

// W3's chain, `x0 = 0` then `x_i = x_{i-1} + 1`, on a machine with
// serialized writers, run again and again: per statement.
void BM_W3(benchmark::State& state) {
    Machine machine = Machine::create({}, Writers::Serialized);
    Program program{Statement::let(Identifier::S("x0"), Expr::literal(Value::integer(0)))};
    for (int i = 1; i < 1000; ++i) {
        Expr previous = Expr::ident(Identifier::S("x" + std::to_string(i - 1)));
        Expr step = Expr::binary_op(std::move(previous), Operator::Add, Expr::literal(Value::integer(1)));
        program.push_back(Statement::let(Identifier::S("x" + std::to_string(i)), std::move(step)));
    }
    std::vector<const Statement*> statements;
    for (const Statement& s : program) statements.push_back(&s);
    for (auto _ : state) run(machine, statements);
    state.SetItemsProcessed(state.iterations() * 1000);
}

// ------------------------------------------------------------------ W8

// A record of W8: the tier one of three texts, the two numbers drawn as
// bench/records.py draws them (by another generator: the figures do not
// depend on the values, only on the branches taken, a third of them gold).
struct Record {
    int tier;
    double weight, subtotal;
};
const char* const kTiers[] = {"gold", "silver", "bronze"};

std::vector<Record> records() {
    std::mt19937_64 random(8);
    std::uniform_real_distribution<double> weight(0.1, 30.0), subtotal(1.0, 200.0);
    std::uniform_int_distribution<int> tier(0, 2);
    std::vector<Record> out(10'000);
    for (Record& record : out) record = {tier(random), weight(random), subtotal(random)};
    return out;
}

// The rules as the Python bench builds them with the builders.
Program w8_rules() {
    auto id = [](const char* name) { return Expr::ident(Identifier::S(name)); };
    auto real = [](double x) { return Expr::literal(Value::real(x)); };
    auto text = [](const char* s) { return Expr::literal(Value::string(s)); };
    auto let = [](const char* name, Expr e) { return Statement::let(Identifier::S(name), std::move(e)); };
    auto times = [](Expr a, Expr b) { return Expr::binary_op(std::move(a), Operator::Mul, std::move(b)); };
    auto plus = [](Expr a, Expr b) { return Expr::binary_op(std::move(a), Operator::Add, std::move(b)); };
    return {
        let("shipping", plus(times(id("weight"), real(0.5)), real(4.0))),
        Statement::if_(Expr::equals(id("tier"), text("gold")), {let("rate", real(0.9))}, {let("rate", real(1.0))}),
        let("total", plus(times(id("subtotal"), id("rate")), id("shipping"))),
        Statement::if_(Expr::greater_than(id("total"), real(100.0)), {let("label", text("large"))},
                       {let("label", text("small"))}),
        let("total", times(id("total"), real(1.2))),
    };
}

// What a record gives back, read as run_many reads it.
struct Result {
    Value total, label;
};

// How a record's rules run: as run_many runs them, through a program
// prepared for the batch; by `run` alone, as a caller that runs the rules
// once per record itself does; or not at all, binding and reading only, so
// that the rules' own cost is the difference.
enum class Rules { Prepared, Run, None };

// The engine's side, as run_many does it without Python: per record the
// three fields bound in one budget with the rules' run, then the two results
// read back.
class W8 {
public:
    explicit W8(Writers writers) : machine_(Machine::create({}, writers)) {
        for (int i = 0; i < 3; ++i) tiers_[i] = Value::string(kTiers[i]);
        for (const Statement& s : rules_) program_.push_back(&s);
        prepared_.emplace(machine_, program_);
        // Run twice before the clock starts, as a batch's first rows do: the
        // second compiles the rules' unit.
        one({0, 1.0, 1.0}, Rules::Prepared);
        one({0, 1.0, 1.0}, Rules::Prepared);
    }

    Result one(const Record& record, Rules rules) {
        Budget budget(machine_);
        inputs_[0].value = tiers_[record.tier];
        inputs_[1].value = Value::real(record.weight);
        inputs_[2].value = Value::real(record.subtotal);
        assign(machine_, inputs_, budget);
        if (rules == Rules::Prepared) prepared_->run(nullptr, budget);
        if (rules == Rules::Run) run(machine_, program_, nullptr, budget);
        if (!total_) total_ = &machine_.binding(IdentifierView(Identifier::S("total")));
        if (!label_) label_ = &machine_.binding(IdentifierView(Identifier::S("label")));
        return {machine_.vars.read(*total_), machine_.vars.read(*label_)};
    }

private:
    Machine machine_;
    Program rules_ = w8_rules();
    std::vector<const Statement*> program_;
    std::optional<PreparedProgram> prepared_;
    Identifier names_[3] = {Identifier::S("tier"), Identifier::S("weight"), Identifier::S("subtotal")};
    Assignment inputs_[3] = {{names_[0], nullptr, {}}, {names_[1], nullptr, {}}, {names_[2], nullptr, {}}};
    Value tiers_[3];
    const Binding* total_ = nullptr;
    const Binding* label_ = nullptr;
};

// The floor: the rules written by hand over the same record, giving the
// same two results, the label one of two texts made once.
struct HandResult {
    double total;
    const std::string* label;
};

[[gnu::noinline]] HandResult w8_by_hand(const Record& record, const std::string& tier) {
    static const std::string large = "large", small = "small";
    double shipping = record.weight * 0.5 + 4.0;
    double rate = tier == "gold" ? 0.9 : 1.0;
    double total = record.subtotal * rate + shipping;
    const std::string* label = total > 100.0 ? &large : &small;
    return {total * 1.2, label};
}

template <class One>
void per_record(benchmark::State& state, One&& one) {
    static const std::vector<Record> all = records();
    std::size_t at = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(one(all[at]));
        at = at + 1 == all.size() ? 0 : at + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

// Arg 0: 0 for serialized writers, as the module makes its machines, 1 for
// concurrent ones; arg 1: a Rules.
void BM_W8(benchmark::State& state) {
    W8 w8(state.range(0) ? Writers::Concurrent : Writers::Serialized);
    auto rules = static_cast<Rules>(state.range(1));
    per_record(state, [&](const Record& r) { return w8.one(r, rules); });
}

void BM_W8ByHand(benchmark::State& state) {
    const std::string tiers[] = {kTiers[0], kTiers[1], kTiers[2]};
    per_record(state, [&](const Record& r) { return w8_by_hand(r, tiers[r.tier]); });
}

// Each benchmark, run exactly QUARN_BENCH_ITERATIONS times when it is set.
template <class B>
B* counted(B* bench) {
    if (const char* n = std::getenv("QUARN_BENCH_ITERATIONS")) bench->Iterations(std::atoll(n));
    return bench;
}

[[maybe_unused]] const bool registered = [] {
    counted(benchmark::RegisterBenchmark("BM_RunLet", BM_RunLet))->Arg(4)->Arg(12);
    counted(benchmark::RegisterBenchmark("BM_Lookup", BM_Lookup));
    counted(benchmark::RegisterBenchmark("BM_ReadWhileWriting", BM_ReadWhileWriting))->Threads(2)->Threads(4);
    counted(benchmark::RegisterBenchmark("BM_W3", BM_W3));
    counted(benchmark::RegisterBenchmark("BM_W8", BM_W8))->ArgsProduct({{0, 1}, {0, 1, 2}})->ArgNames({"concurrent", "rules"});
    counted(benchmark::RegisterBenchmark("BM_W8ByHand", BM_W8ByHand));
    return true;
}();

}  // namespace
