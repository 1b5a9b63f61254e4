// The libFuzzer target on the payload reader (quarn/payload.hpp). Each input,
// followed by its checksum (so that mutations reach past the check), is read
// as a tree, and as a machine of each kind of writers (the Python module's
// machines keep writers apart themselves, Writers::Serialized), with three
// functions to name; and once as it is. Refusal (BadPayload) is a normal
// outcome. What is read must hold only UTF-8 texts, write back a payload
// that reads again and writes the same bytes once more (a tree) or the same
// variables (a machine), and run on a machine with limits exactly as its
// copy does; a machine's variables must keep their values when a run binds
// each to itself. A crash, a sanitizer report, a leak, another exception or
// a broken check is a finding.
//
// With QUARN_FUZZ_PRINT set, each input is followed by what reading it gave,
// for reproducers:  QUARN_FUZZ_PRINT=1 build/fuzz-core/fuzz_payload PATH

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "checks.hpp"
#include "crc32.hpp"
#include "edge_cases.hpp"
#include "quarn/debug.hpp"
#include "quarn/error.hpp"
#include "quarn/eval.hpp"
#include "quarn/payload.hpp"

using namespace quarn;
using namespace quarn::fuzz;

namespace {

// A function that hands back its argument.
struct Echo final : QuarnFunction {
    std::unique_ptr<QuarnFunction> clone_box() const override { return std::make_unique<Echo>(); }
    void fmt_debug(std::string& out) const override { out += "Echo"; }
    Value run(Value argument) override { return argument; }
};

const Echo kEcho[3];
const QuarnFunction* const kFunctions[] = {&kEcho[0], &kEcho[1], &kEcho[2]};

// Runs bounded by their operations, whatever the payload shares.
constexpr Limits kLimits{20000, 1 << 16};

void say(const std::string& text) {
    static const bool enabled = std::getenv("QUARN_FUZZ_PRINT") != nullptr;
    if (enabled) std::fprintf(stderr, "%s\n", text.substr(0, 4000).c_str());
}

void ignore(const QuarnFunction&, void*) {}

template <class Holder>
std::string written(const Holder& holder) {
    return to_payload(holder, ignore, nullptr);
}

// Every text a value holds, through vectors, must be UTF-8.
void expect_utf8_texts(const Value& value, std::size_t& budget) {
    if (budget == 0) return;
    --budget;
    if (value.kind() == Kind::String && !is_utf8(value.as_string())) finding("a payload's text is not UTF-8");
    if (value.kind() == Kind::Vector)
        for (const Value& item : value.as_vector()) expect_utf8_texts(item, budget);
}

// How a run ended: the message of its fatal error, or what it evaluated to.
template <class Tree>
std::string outcome(const Tree& tree) {
    Machine machine = Machine::create(kLimits);
    try {
        if constexpr (std::is_same_v<Tree, Expr>) {
            Value value = evaluate(machine, tree);
            std::size_t budget = 1000;
            expect_utf8_texts(value, budget);
            return value.size() < 1000 ? debug_string(value) : "a value of size " + std::to_string(value.size());
        } else {
            run(machine, tree);
            return "ran";
        }
    } catch (const Fatal& error) {
        return "fatal error: " + error.message();
    }
}

template <class Tree>
void check_tree(const Tree& tree) {
    std::string once = written(tree);
    Tree again = std::get<Tree>(tree_from_payload(once, kFunctions));
    if (written(again) != once) finding("a tree read back writes other bytes");
    std::string first = outcome(tree), second = outcome(again);
    say("read a tree, written back in " + std::to_string(once.size()) + " bytes; it runs to " + first);
    if (first != second) finding("a tree and its copy run differently: " + first + " / " + second);
}

// Whether a machine binds `id` to a value of `value`'s kind and size.
bool binds_alike(const Machine& machine, const Identifier& id, const Value& value) {
    std::optional<Value> found = machine.vars.lookup(id);
    return found && found->kind() == value.kind() && found->size() == value.size();
}

// A run that binds each variable to itself, through the bindings' writes
// and the table's lookups, as the machine's writers make them. The run may
// stop at the machine's own limits, which a payload may set as it likes.
void rebind_each(Machine& machine) {
    auto entries = machine.vars.entries();
    Program program;
    for (const auto& [binding, value] : entries)
        program.push_back(Statement::let(binding->id, Expr::ident(binding->id)));
    try {
        run(machine, program);
    } catch (const Fatal& error) {
        say("rebinding its variables stopped: " + error.message());
        return;
    }
    for (const auto& [binding, value] : entries)
        if (!binds_alike(machine, binding->id, value)) finding("a variable bound to itself changed");
}

// The same variables, bound to values of the same kinds and sizes.
void check_machine(Machine machine) {
    Machine again = machine_from_payload(written(machine), kFunctions, machine.vars.writers());
    auto entries = machine.vars.entries();
    say("read a machine of " + std::to_string(entries.size()) + " variables");
    if (again.vars.entries().size() != entries.size()) finding("a machine read back has other variables");
    if (again.limits.max_operations != machine.limits.max_operations ||
        again.limits.max_value_size != machine.limits.max_value_size)
        finding("a machine read back has other limits");
    for (const auto& [binding, value] : entries) {
        std::size_t budget = 1000;
        expect_utf8_texts(value, budget);
        if (!binds_alike(again, binding->id, value))
            finding("a machine read back binds " + debug_string(IdentifierView(binding->id)) + " otherwise");
    }
    rebind_each(again);
}

template <class Read, class Check>
void attempt(Read&& read, Check&& check) {
    try {
        check(read());
    } catch (const BadPayload& refused) {
        say(refused.what());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    attempt([&] { return tree_from_payload(input, kFunctions); }, [](const auto&) {});
    std::string bytes(input);
    for (std::uint32_t sum = crc32(input), i = 0; i < 4; ++i, sum >>= 8) bytes.push_back(static_cast<char>(sum & 0xFF));
    attempt([&] { return tree_from_payload(bytes, kFunctions); },
            [](const std::variant<Expr, Statement>& tree) { std::visit([](auto& t) { check_tree(t); }, tree); });
    for (Writers writers : {Writers::Concurrent, Writers::Serialized})
        attempt([&] { return machine_from_payload(bytes, kFunctions, writers); }, check_machine);
    return 0;
}
