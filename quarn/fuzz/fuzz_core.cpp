// The libFuzzer target on the language core. Each input decodes into
// programs and expressions (see decoder.hpp); the main program runs twice on
// one machine and once on a second; the expressions are evaluated on both;
// machines and results are printed and compared; then everything is dropped
// and every function object must be gone. A fatal error is a normal outcome.
// A crash, a sanitizer report, a leak, another exception or a broken check
// (checks.hpp) is a finding.
//
// With QUARN_FUZZ_PRINT set in the environment, each input is also printed
// as a readable program with what its runs did, before it runs (so a crash
// still leaves the listing behind).
//
// The decoder refuses inputs whose work it cannot bound (work_bound.hpp), so
// every value here is light enough to print and compare in full.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "checks.hpp"
#include "decoder.hpp"
#include "name_pool.hpp"
#include "quarn/debug.hpp"
#include "quarn/error.hpp"
#include "quarn/eval.hpp"

using namespace quarn;
using namespace quarn::fuzz;

namespace {

bool printing() {
    static const bool enabled = std::getenv("QUARN_FUZZ_PRINT") != nullptr;
    return enabled;
}

void say(const std::string& text) {
    if (!printing()) return;
    std::fprintf(stderr, "%s\n", text.size() > 4000 ? (text.substr(0, 4000) + " ...").c_str() : text.c_str());
    std::fflush(stderr);
}

// What a top-level run ended with: the value (for an expression) or the
// message of the fatal error it stopped with.
struct Outcome {
    std::optional<Value> value;
    std::optional<std::string> error;

    std::string shown() const {
        if (error) return "fatal error: " + *error;
        return value ? debug_string(*value) : "ok";
    }
};

Outcome run_program(Context& context, Machine& machine) {
    context.begin_run(machine);
    try {
        run(machine, context.programs[0]);
        return {};
    } catch (const Fatal& error) {
        expect_utf8(context, error.message(), "a fatal error message");
        return {std::nullopt, error.message()};
    }
}

Outcome evaluate(Context& context, Machine& machine, const Expr& expr) {
    context.begin_run(machine);
    try {
        return {evaluate(machine, expr), std::nullopt};
    } catch (const Fatal& error) {
        expect_utf8(context, error.message(), "a fatal error message");
        return {std::nullopt, error.message()};
    }
}

using Snapshot = std::array<std::optional<Value>, kNamePool>;

// The pooled names' values; get must fail exactly when lookup finds nothing.
Snapshot snapshot(const Machine& machine) {
    Snapshot names;
    for (int i = 0; i < kNamePool; ++i) {
        names[i] = machine.vars.lookup(pooled_name(i));
        bool found = true;
        try {
            (void)machine.get(pooled_name(i));
        } catch (const Fatal&) {
            found = false;
        }
        if (found != names[i].has_value()) finding("get and lookup disagree on " + debug_string(pooled_name(i)));
    }
    return names;
}

void print_machine(const Context& context, const Machine& machine, const char* label) {
    std::string form = machine.debug();
    expect_utf8(context, form, "a machine's debug form");
    say(std::string(label) + ": " + form);
}

std::string print_outcome(const Context& context, const Outcome& outcome, const std::string& label) {
    std::string shown = outcome.shown();
    expect_utf8(context, shown, "a value's debug form");
    say(label + ": " + shown);
    return shown;
}

// Compares with the core's equality, which may fail (functions, mixed kinds).
void compare(const Value& x, const Value& y) {
    try {
        (void)equals(x, y);
    } catch (const Fatal&) {
    }
}

// Two fresh machines running the same program must end alike.
void expect_same_run(const Context& context, const Outcome& a, const Outcome& b, const Snapshot& x,
                     const Snapshot& y) {
    if (a.error != b.error)
        finding("two fresh machines ended one program differently: " + a.shown() + " / " + b.shown());
    for (int i = 0; i < kNamePool; ++i) {
        std::string name = debug_string(pooled_name(i));
        if (x[i].has_value() != y[i].has_value()) finding("two fresh machines differ on whether " + name + " is bound");
        if (!x[i]) continue;
        std::string dx = debug_string(*x[i]), dy = debug_string(*y[i]);
        if (dx != dy)
            finding("two fresh machines bound " + name + " differently: " + dx.substr(0, 400) + " / " +
                    dy.substr(0, 400));
        expect_equal_when_alike(context, *x[i], *y[i], dx, dy, "a name's value on two machines");
    }
}

void check_results(Context& context, Machine& first, Machine& second) {
    for (std::size_t i = 0; i < context.results.size(); ++i) {
        Outcome a = evaluate(context, first, context.results[i]);
        Outcome b = evaluate(context, second, context.results[i]);
        std::string shown = print_outcome(context, a, "result " + std::to_string(i) + " on the first machine");
        print_outcome(context, b, "result " + std::to_string(i) + " on the second machine");
        if (a.value && b.value) compare(*a.value, *b.value);
        if (a.value) expect_equal_when_alike(context, *a.value, *a.value, shown, shown, "a result and itself");
    }
}

// The second machine's shard count (2 to 64) comes from the input's length;
// its writers are serialized, as the module makes its machines. The first
// run on the first machine runs the program statement by statement, and the
// later ones run it as one unit (eval.hpp), with registers on the second
// machine: the two fresh machines compare the two ways.
void exercise(Context& context, std::size_t shard_choice) {
    Machine first = Machine::create(), second{VarTable(std::size_t(2) << (shard_choice % 6), Writers::Serialized)};
    Outcome a = run_program(context, first);
    Snapshot after_a = snapshot(first);
    print_outcome(context, a, "first run");
    print_machine(context, first, "first machine");
    Outcome b = run_program(context, first);
    print_outcome(context, b, "second run on the same machine");
    print_machine(context, first, "first machine");
    Outcome c = run_program(context, second);
    Snapshot after_c = snapshot(second);
    print_outcome(context, c, "run on a second machine");
    print_machine(context, second, "second machine");
    expect_same_run(context, a, c, after_a, after_c);
    Snapshot after_b = snapshot(first);
    for (int i = 0; i < kNamePool; ++i)
        if (after_a[i] && after_b[i]) compare(*after_a[i], *after_b[i]);
    check_results(context, first, second);
    context.machine = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Context context;
    Verdict verdict = decode({data, size}, context, printing() ? stderr : nullptr);
    say(verdict.bounded ? "work bound: " + std::to_string(verdict.work)
                        : std::string("work bound: too large; the input is skipped"));
    if (verdict.bounded) exercise(context, size);
    context.clear();
    if (context.live_functions != 0)
        finding(std::to_string(context.live_functions) + " function objects outlived every handle to them");
    return verdict.bounded ? 0 : -1;
}
