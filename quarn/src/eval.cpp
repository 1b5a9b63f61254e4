// The evaluator. It never recurses. Statement lists wait as tasks on a heap
// stack, one loop taking the top one; an expression runs as its flat form
// (code.hpp), one loop over its instructions with the operands on a second
// stack. So the depth of a program costs heap, never machine stack, and a
// function called from the bottom of a deep tree runs with almost the whole
// stack its thread had when the run began.
//
// The order of work is exactly that of a recursive descent: statements in
// list order; a node's operands left before right, each completely, before
// the node's own checks; a call's argument before its function is looked up;
// vector items first to last.

#include "quarn/eval.hpp"

#include "code.hpp"
#include "quarn/debug.hpp"
#include "quarn/error.hpp"
#include "quarn/small_stack.hpp"

namespace quarn {
namespace {

using namespace detail;

[[noreturn, gnu::cold]] void missing(const Identifier& id) {
    fail("Value cannot be found: " + debug_string(id));
}

[[gnu::noinline]] Value binary(Operator op, const Value& left, const Value& right) {
    if (left.kind() == Kind::String) {
        if (right.kind() != Kind::String) fail("Binary operator for unknown type");
        if (op != Operator::Add) fail("Unknown binary operation for Value::String");
        return Value::concat(left.as_string(), right.as_string());
    }
    if (left.kind() != Kind::Number || right.kind() != Kind::Number) fail("Binary operator for unknown type");
    return Value::number(arithmetic(op, left.as_number(), right.as_number()));
}

int compare_numbers(const Value& left, const Value& right) {
    if (left.kind() != Kind::Number || right.kind() != Kind::Number)
        fail("Both left-hand and right-hand side values must be a number");
    return compare(left.as_number(), right.as_number());
}

// What a node of two operands makes of their values.
Value apply(const PairNode& node, const Value& left, const Value& right) {
    switch (node.kind) {
    case CellKind::BinaryOp:
        // Two integers and no division, the common case, stays inline.
        if (node.op != Operator::Div && left.is_int() && right.is_int())
            return Value::number(arithmetic(node.op, left.as_number(), right.as_number()));
        return binary(node.op, left, right);
    case CellKind::Equals: return Value::boolean(equals(left, right));
    case CellKind::GreaterThan: return Value::boolean(compare_numbers(left, right) > 0);
    default: return Value::boolean(compare_numbers(left, right) < 0);
    }
}

bool is_leaf(const Expr& e) { return e.kind() == CellKind::Literal || e.kind() == CellKind::Ident; }

// A list of statements, run from `next` on.
struct Pending {
    const Program* list;
    std::size_t next;
};

class Evaluator {
public:
    explicit Evaluator(Machine& machine) noexcept : machine_(machine) {}

    void run(const Program& statements) {
        if (!statements.empty()) pending_.push({&statements, 0});
        run_pending();
    }

    void run(const Statement& statement) {
        execute(statement.node());
        run_pending();
    }

    Value evaluate(const Expr& expr) {
        Value value;
        if (shallow(expr.node(), value)) return value;
        run_code(*compile(expr.node()));
        return values_.pop();
    }

private:
    // ------------------------------------------------------- statements

    void run_pending() {
        while (!pending_.empty()) {
            Pending& top = pending_.top();
            const Statement& statement = (*top.list)[top.next];
            if (++top.next == top.list->size()) pending_.pop();
            execute(statement.node());
        }
    }

    void execute(const StatementNode& statement) {
        switch (statement.kind) {
        case CellKind::Let: return bind(static_cast<const LetNode&>(statement));
        case CellKind::If: return branch(static_cast<const IfNode&>(statement));
        case CellKind::Fn: {
            auto& fn = static_cast<const FnNode&>(statement);
            std::optional<Value> replaced = machine_.vars.insert(fn.ident, Value::function(fn.f->clone_box()));
            return;
        }
        default: return;  // expression and value cells never reach here
        }
    }

    void bind(const LetNode& let) {
        if (let.appends) return bind_appended(let);
        // The replaced value is released here, after the table's lock is free.
        std::optional<Value> replaced = machine_.vars.insert(let.ident, evaluate(let.expr, let.code));
    }

    // `x = x + leaf`, evaluated as shallow() would. When x holds a text that
    // only the table and this run hold, the text grows in place: a program
    // that builds a text piece by piece then costs time linear in its length.
    [[gnu::noinline]] void bind_appended(const LetNode& let) {
        auto& pair = static_cast<const PairNode&>(let.expr.node());
        if (appended_in_table(let.ident, pair.right.node())) return;
        Value left = lookup(static_cast<const IdentNode&>(pair.left.node()).id);
        Value held_right;
        const Value& right = leaf(pair.right.node(), held_right);
        if (left.kind() == Kind::String && right.kind() == Kind::String &&
            machine_.vars.append(let.ident, left, right.as_string()))
            return;
        std::optional<Value> replaced = machine_.vars.insert(let.ident, apply(pair, left, right));
    }

    // The common `x = x + "text"` once x is bound: the table alone may hold
    // x's text, so it grows in place under the table's lock, with no handle
    // taken out. Nothing here can fail: x being unbound or no text leaves
    // the work to the general path, which reports it.
    bool appended_in_table(const Name& x, const ExprNode& right) {
        if (right.kind != CellKind::Literal) return false;
        const Value& tail = static_cast<const LiteralNode&>(right).value;
        return tail.kind() == Kind::String && machine_.vars.append(x, tail.as_string());
    }

    void branch(const IfNode& node) {
        Value cond = evaluate(node.cond, node.code);
        if (cond.kind() != Kind::Boolean) fail("Expected deduced condition to be a bool, got other type");
        const Program& chosen = cond.as_bool() ? node.then : node.otherwise;
        if (!chosen.empty()) pending_.push({&chosen, 0});
    }

    // ------------------------------------------------------ expressions

    // A statement's expression: shallow ones on the spot, others by their
    // flat form, made on the statement's first run.
    Value evaluate(const Expr& expr, const CodeSlot& slot) {
        Value value;
        if (shallow(expr.node(), value)) return value;
        const Code* code = slot.get();
        if (!code) code = slot.store(compile(expr.node()));
        run_code(*code);
        return values_.pop();
    }

    Value lookup(const Name& name) {
        std::optional<Value> value = machine_.vars.lookup(name);
        if (!value) missing(name.id);
        return std::move(*value);
    }

    // A leaf's value, without copying a literal: the tree outlives the run.
    // `held` keeps a looked-up value alive for as long as it is used.
    const Value& leaf(const ExprNode& node, Value& held) {
        if (node.kind == CellKind::Literal) return static_cast<const LiteralNode&>(node).value;
        held = lookup(static_cast<const IdentNode&>(node).id);
        return held;
    }

    // Evaluates on the spot a leaf, or an operator over two leaves (the
    // common `x + 1`, `n < i`); false for anything else.
    bool shallow(const ExprNode& node, Value& out) {
        switch (node.kind) {
        case CellKind::Literal: out = static_cast<const LiteralNode&>(node).value; return true;
        case CellKind::Ident: out = lookup(static_cast<const IdentNode&>(node).id); return true;
        case CellKind::BinaryOp:
        case CellKind::Equals:
        case CellKind::GreaterThan:
        case CellKind::LessThan: {
            auto& pair = static_cast<const PairNode&>(node);
            if (!is_leaf(pair.left) || !is_leaf(pair.right)) return false;
            Value held_left, held_right;
            const Value& left = leaf(pair.left.node(), held_left);
            out = apply(pair, left, leaf(pair.right.node(), held_right));
            return true;
        }
        default: return false;
        }
    }

    // Runs the flat form, leaving the expression's value on the stack. A
    // block entered from inside another resumes it when it ends.
    void run_code(const Code& code) {
        struct Resume {
            const Instruction* at;
            const Instruction* end;
        };
        SmallStack<Resume, 8> resume;
        const Instruction* at = code.blocks[0].data();
        const Instruction* end = at + code.blocks[0].size();
        for (;;) {
            if (at == end) {
                if (resume.empty()) return;
                Resume back = resume.pop();
                at = back.at;
                end = back.end;
                continue;
            }
            const Instruction& instruction = *at++;
            if (instruction.op == Op::Block) {
                resume.push({at, end});
                const std::vector<Instruction>& block = code.blocks[instruction.count];
                at = block.data();
                end = at + block.size();
                continue;
            }
            step(instruction);
        }
    }

    void step(const Instruction& instruction) {
        switch (instruction.op) {
        case Op::Literal: return values_.push(*static_cast<const Value*>(instruction.ref));
        case Op::Lookup: return values_.push(lookup(*static_cast<const Name*>(instruction.ref)));
        case Op::Arith: return arith(instruction);
        case Op::Pair: return combine(*static_cast<const PairNode*>(instruction.ref));
        case Op::Not: return negate();
        case Op::Call: return invoke(*static_cast<const CallNode*>(instruction.ref));
        case Op::Vector: return collect(instruction.count);
        case Op::Block: return;  // entered by run_code
        }
    }

    // Add, Sub or Mul; two integers, the common case, are done in place.
    void arith(const Instruction& instruction) {
        Value& left = values_[values_.size() - 2];
        const Value& right = values_.top();
        if (!left.is_int() || !right.is_int()) return combine(*static_cast<const PairNode*>(instruction.ref));
        left = Value::integer(wrapping(static_cast<Operator>(instruction.count), left.as_int(), right.as_int()));
        values_.drop(1);
    }

    void combine(const PairNode& node) {
        Value right = values_.pop();
        Value& left = values_.top();
        left = apply(node, left, right);
    }

    void negate() {
        Value& item = values_.top();
        if (item.kind() != Kind::Boolean) fail("The not expression must be used on a boolean value");
        item = Value::boolean(!item.as_bool());
    }

    void invoke(const CallNode& node) {
        Value argument = values_.pop();
        // Held until run returns, so a function that rebinds its own name
        // while running stays alive.
        Value function = lookup(node.ident);
        if (function.kind() != Kind::Function) fail("called `Option::unwrap()` on a `None` value");
        values_.push(function.as_function().run(std::move(argument)));
    }

    void collect(std::size_t count) {
        Value vector = Value::vector({&values_[values_.size() - count], count});
        values_.drop(count);
        values_.push(std::move(vector));
    }

    Machine& machine_;
    SmallStack<Pending, 16> pending_;
    SmallStack<Value, 32> values_;
};

}  // namespace

void deduce(Machine& machine, const Program& statements) { Evaluator(machine).run(statements); }

void deduce(Machine& machine, const Statement& statement) { Evaluator(machine).run(statement); }

void deduce(Machine& machine, std::span<const Statement* const> statements) {
    Evaluator evaluator(machine);
    for (const Statement* statement : statements) evaluator.run(*statement);
}

Value deduce_expr(Machine& machine, const Expr& expr) { return Evaluator(machine).evaluate(expr); }

}  // namespace quarn
