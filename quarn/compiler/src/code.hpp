#pragma once
// The flat form of a statement: its expressions and the statements it holds,
// one instruction per node, with jumps for the branches of an if. One loop
// runs it, with the values on a stack: no recursion and no pending work of
// its own, so running an if allocates nothing and pushes nothing. Trees never
// change, so a statement is compiled once, on its first run, and the form is
// kept with it (code_slot.hpp).
//
// An expression's operands come before the node itself, in the order a
// recursive evaluation would finish them. A subtree that an expression uses
// in several places (trees may share their own subtrees) is compiled once,
// into a block that the places enter and leave, so the form stays as small
// as the tree, not as the tree written out. A statement that the tree
// reaches in several places has its own form, which each place runs.
//
// Each statement begins by charging its operations to the run's meter: one
// for the statement, one per node of its expression; a block charges its own
// nodes each time it is entered.
//
// A program run again is compiled the same way, as a whole, into one form:
// its unit (unit.hpp).

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "number_code.hpp"
#include "quarn/failure_site.hpp"
#include "quarn/tree.hpp"

namespace quarn::detail {

enum class Op : std::uint8_t {
    // Expressions: each leaves its value on the stack.
    Literal,  // push the `Value` at ref
    SmallInt, // the same for an integer that fits `arg`, which holds it
    Lookup,   // push the value bound to the `Name` at ref
    Arith,    // the `PairNode` at ref, a BinaryOp of `arg` (an Operator) other than Div
    ArithLiteral,  // the same with the `Value` at ref as its right operand, which is not pushed
    ArithLookup,   // the same with the value bound to the `Name` at ref as its right operand
    ArithLookupKeep,  // the same, keeping an integer read in the evaluation's slot `cost` (kKeptNames)
    ArithKept,        // the same with the integer kept in slot `cost`, else the name looked up
    Pair,     // apply the `PairNode` at ref to the top two values
    Not,      // negate the top value
    Call,     // call the function named by the `CallNode` at ref with the top value
    Vector,   // replace the top `arg` values by one vector of them
    Enter,    // run the block `arg` instructions on, which leaves one value
    Return,   // the end of a block, or of the whole form
    // Statements.
    Reserve,        // charge `charge` operations, a statement about to run or a block, and
                    // make room for the `arg` values its expression holds at most
    Let,            // bind the top value to the name of the `LetNode` at ref
    LetLiteral,     // the `LetNode` at ref, whose expression is a literal
    LetShallow,     // the `LetNode` at ref, whose expression is a leaf or an operator over two
    LetCall,        // the `LetNode` at ref, whose expression is a call of a leaf
    LetArith,       // `x = n + 1`: the `Name` n at ref, `arg` the Operator (not Div); the Operand
                    // next has the `LetNode` at ref and the literal 1 as its `arg`
    LetArithNumber, // the same for `x = n * 1.5`, any operator and number: the Operand next has
                    // the `LetNode` at ref
    Append,         // the `LetNode` at ref, `x = x + leaf`
    Fn,             // the `FnNode` at ref
    Branch,         // take the top value as a condition; when false, go `arg` instructions on
    BranchShallow,  // the same for the `IfNode` at ref, whose condition is shallow
    BranchLess,     // the same for `n < 10`: the `Name` n at ref; the Operand next has the
                    // `PairNode` at ref and the literal 10 as its `arg`
    BranchGreater,  // the same for `n > 10`
    BranchEqual,    // the same for `n == 10`
    BranchNumber,   // the same for `n > 99.5` and any number: the Operand next has the
                    // `PairNode` at ref
    BranchText,     // the same for `n == "text"`
    Operand,        // what the instruction before needs besides its own; never run
    Jump,           // go `arg` instructions on
    Run,            // run the `StatementNode` at ref by its own form
    // In a unit (unit.hpp), the same instructions with the name they bind,
    // or the name they read, reached through the unit's slot `slot`: every
    // binding a unit makes goes through its slot, so that the slot's
    // register follows it.
    LetSlot,
    LetLiteralSlot,
    LetShallowSlot,
    LetCallSlot,
    LetArithSlot,        // the name read in the slot of this instruction, the one bound in the Operand's
    LetAddSlot,          // the same for Add, the commonest, with the operator known to the handler
    LetArithNumberSlot,  // the same
    AppendSlot,
    FnSlot,
    LookupSlot,
    ArithLookupSlot,
    CallSlot,
    BranchLessSlot,
    BranchGreaterSlot,
    BranchEqualSlot,
    BranchNumberSlot,
    BranchTextSlot,
    // A unit's expressions of numbers (number_code.hpp), each charging
    // `cost` for its statement, the `NumberCode` at ref:
    LetNumbers,     // bind its value to the name in `slot`
    BranchNumbers,  // take its comparison as a condition, as Branch does
    Within,  // run the statement compiled `arg` instructions on, in this form, then go on
};

// An expression that calls no function and enters no block reads a name
// that stands right of several of its operators only once, at the first of
// them, when the name holds an integer: nothing it evaluates can rebind the
// name in between. The evaluation keeps the integer in one of this many
// slots; further names are read at every place.
inline constexpr std::size_t kKeptNames = 16;

struct Instruction {
    Instruction() noexcept = default;
    constexpr Instruction(Op o, std::uint8_t c = 0, std::int32_t a = 0, const void* r = nullptr) noexcept
        : op(o), cost(c), slot(0), arg(a), ref(r) {}

    Op op;
    std::uint8_t cost;     // the operations a shallow statement charges itself; a kept name's slot
    std::uint16_t slot;    // in a unit, the slot of the name the instruction binds or reads
    std::int32_t arg;      // jumps are relative to the instruction
    union {
        const void* ref;
        std::uint64_t charge;  // Reserve's
    };
};
static_assert(sizeof(Instruction) == 16);

// A statement of a form, for naming where a run failed: its first
// instruction, and where it stands in its parent. A statement's instructions
// run from its start to the next statement's that is not inside it, so the
// one with the last start at or before an instruction is the innermost
// statement holding it (blocks after the last Return are entered from the
// statements that use them).
struct Site {
    std::uint32_t start;
    std::int32_t parent;  // -1 for the form's own statement
    FailureSite::Branch branch;
    std::uint32_t index;  // in the parent's list of that branch
};

struct Code {
    std::vector<Instruction> ops;  // ends with Return
    std::vector<Site> sites;       // in order of start; the form's own statement first
    std::vector<NumberCode> numbers;  // a unit's, which its instructions point at
};

// Appends the steps from the form's own statement (included or not) down to
// the statement holding the instruction at `op`.
void append_site(const Code& code, std::size_t op, bool with_root, std::vector<FailureSite::Step>& steps);

// Whether the expression is evaluated without the stack: a leaf, an
// operator over two leaves (the common `x + 1`, `n < i`), or a call of a
// leaf (`f(x)`).
bool is_shallow(const ExprNode& node) noexcept;

// The form of a statement that needs no stack and holds no other: a `let`
// of a shallow expression, of `n + 1` and the like, or of `x = x + leaf`,
// and an `fn`. Its instructions, and a Return, go into `out`; false, with
// nothing written, for any other statement. A compiled form holds the same.
using SimpleForm = std::array<Instruction, 3>;
bool simple_form(const StatementNode& statement, SimpleForm& out) noexcept;

std::unique_ptr<Code> compile(const StatementNode& statement);
// An expression alone, as the body of an evaluation.
std::unique_ptr<Code> compile(const ExprNode& expression);

// The statement's form, compiled on first need.
inline const Code& code_of(const StatementNode& statement) {
    if (const Code* code = statement.code.get()) return *code;
    return *statement.code.store(compile(statement));
}

}  // namespace quarn::detail
