#pragma once
// A program compiled as one unit: its statements, ifs included, in one
// instruction stream, each running into the next with no return to a loop
// outside it, and the names it binds or reads resolved once per run, each to
// a slot. The first statement keeps the units of the programs it begins
// (code_slot.hpp), which are compiled on their second run.
//
// A unit names the statements of its program by their serials and holds no
// count on them: it is run only with its program at hand, which the caller
// keeps alive, and until then nothing in it is followed. It never changes
// once published, so any number of threads may run it at once, on any
// machines; what a run keeps (the slots' bindings and registers) is the
// evaluator's.
//
// Within a unit every statement is compiled as its own form would be (see
// code.hpp), with the same charges, so that a run stops at the same
// operation either way, with these differences:
// - an instruction that binds a name, or reads one in the common cases,
//   has a slot variant (Op::LetSlot and on);
// - a statement that the program reaches in several places is compiled once
//   in the unit, after its Return, and entered from each (Op::Within);
// - statements that other parents hold too, past kMostHeldElsewhere of them
//   below the program's own, still run by their own forms (Op::Run).

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "code.hpp"

namespace quarn::detail {

struct Unit {
    Code code;  // the program's statements, then a Return, then what they enter
    std::uint32_t slots = 0;
    // False for a program with more names than a slot can tell apart: it
    // runs statement by statement; the unit only says so.
    bool whole = true;
    std::vector<std::uint64_t> program;  // the serial of each statement of the program
    std::uint64_t serial = 0;            // no other unit made in the process has it
    mutable std::atomic<const Unit*> next{nullptr};  // the next unit of the same first statement

    // Every run of a program by `run` asks this of each of its statements,
    // so the serials are compared without a branch per statement: a program
    // that matches, the common case, is read to its end anyway.
    bool runs(std::span<const Statement* const> statements) const noexcept {
        if (statements.size() != program.size()) return false;
        std::uint64_t differ = 0;
#pragma GCC unroll 4
        for (std::size_t i = 0; i < program.size(); ++i) differ |= statements[i]->serial() ^ program[i];
        return differ == 0;
    }
};

// Units one statement keeps for the programs it begins; a program begun by
// a statement that keeps as many already runs statement by statement.
inline constexpr std::size_t kUnitsPerStatement = 4;

// The unit that `program` runs as, or null when it runs statement by
// statement: on its first run, or when it cannot be one. Compiles the unit
// on the program's second run.
const Unit* unit_for(std::span<const Statement* const> program);

// The program compiled as one unit (code.cpp).
std::unique_ptr<Unit> compile(std::span<const Statement* const> program);

}  // namespace quarn::detail
