// The evaluator. It never recurses: what remains to be done is a stack of
// small tasks on the heap, and operand values wait on a second stack. One
// loop takes the top task and does it; a task may push further tasks. So the
// depth of a program costs heap, never machine stack, and a function called
// from the bottom of a deep tree runs with almost the whole stack its thread
// had when the run began.
//
// The order of work is exactly that of a recursive descent: statements in
// list order; a node's operands left before right, each completely, before
// the node's own checks; a call's argument before its function is looked up;
// vector items first to last.

#include "quarn/eval.hpp"

#include "quarn/debug.hpp"
#include "quarn/error.hpp"
#include "small_stack.hpp"

namespace quarn {
namespace {

using namespace detail;

// What a task does when it is taken off the stack. All but Visit and RunList
// find their operands on the value stack.
enum class Step : std::uint8_t {
    Visit,    // evaluate an expression node onto the value stack
    Combine,  // BinaryOp, Equals, GreaterThan, LessThan
    Negate,   // Not
    Invoke,   // Call
    Collect,  // Vector
    Bind,     // Let
    Branch,   // If
    RunList,  // the statements of a list from `index` on
};

struct Task {
    Step step;
    std::uint32_t index;
    const void* node;  // the node the step works on; RunList: the statement list
};

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

// The common case of BinaryOp, kept inline: two integers and no division.
bool wrapping_integers(Operator op, const Value& left, const Value& right, Value& result) {
    if (op == Operator::Div || !left.is_int() || !right.is_int()) return false;
    result = Value::number(arithmetic(op, left.as_number(), right.as_number()));
    return true;
}

int compare_numbers(const Value& left, const Value& right) {
    if (left.kind() != Kind::Number || right.kind() != Kind::Number)
        fail("Both left-hand and right-hand side values must be a number");
    return compare(left.as_number(), right.as_number());
}

bool is_leaf(const Expr& e) {
    return e.kind() == CellKind::Literal || e.kind() == CellKind::Ident;
}

class Evaluator {
public:
    explicit Evaluator(Machine& machine) noexcept : machine_(machine) {}

    void run(const Program& statements) {
        if (statements.empty()) return;
        schedule(Step::RunList, &statements, 0);
        loop();
    }

    void run(const Statement& statement) {
        execute(statement.node());
        loop();
    }

    Value evaluate(const Expr& expr) {
        visit(expr.node());
        loop();
        return values_.pop();
    }

private:
    void loop() {
        while (!tasks_.empty()) dispatch(tasks_.pop());
    }

    void dispatch(const Task& task) {
        switch (task.step) {
        case Step::Visit: return visit(*static_cast<const ExprNode*>(task.node));
        case Step::Combine: return combine(*static_cast<const PairNode*>(task.node));
        case Step::Negate: return negate();
        case Step::Invoke: return invoke(*static_cast<const CallNode*>(task.node));
        case Step::Collect: return collect(*static_cast<const VectorNode*>(task.node));
        case Step::Bind: return bind(*static_cast<const LetNode*>(task.node));
        case Step::Branch: return branch(*static_cast<const IfNode*>(task.node));
        case Step::RunList: return run_list(*static_cast<const Program*>(task.node), task.index);
        }
    }

    void schedule(Step step, const void* node, std::uint32_t index = 0) { tasks_.push({step, index, node}); }

    // ------------------------------------------------------ expressions

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

    // Evaluates on the spot a leaf, or a node whose operands are all leaves
    // (the common `x + 1`, `n < i`, `f(x)`); false for anything deeper, which
    // goes through the task stack.
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

    // Evaluates the operand, shallow ones on the spot, then does `step`.
    void operand_then(const Expr& operand, Step step, const void* node) {
        Value value;
        if (shallow(operand.node(), value)) {
            values_.push(std::move(value));
            return dispatch({step, 0, node});
        }
        schedule(step, node);
        schedule(Step::Visit, &operand.node());
    }

    void visit(const ExprNode& node) {
        Value value;
        if (shallow(node, value)) return values_.push(std::move(value));
        switch (node.kind) {
        case CellKind::BinaryOp:
        case CellKind::Equals:
        case CellKind::GreaterThan:
        case CellKind::LessThan: return visit_pair(static_cast<const PairNode&>(node));
        case CellKind::Not: return operand_then(static_cast<const NotNode&>(node).item, Step::Negate, &node);
        case CellKind::Call: return operand_then(static_cast<const CallNode&>(node).arg, Step::Invoke, &node);
        case CellKind::VectorExpr: return visit_vector(static_cast<const VectorNode&>(node));
        default: return;  // statement and value cells never reach here
        }
    }

    void visit_pair(const PairNode& node) {
        Value left;
        if (!shallow(node.left.node(), left)) {
            schedule(Step::Combine, &node);
            schedule(Step::Visit, &node.right.node());
            schedule(Step::Visit, &node.left.node());
            return;
        }
        values_.push(std::move(left));
        operand_then(node.right, Step::Combine, &node);
    }

    void visit_vector(const VectorNode& node) {
        schedule(Step::Collect, &node);
        for (std::size_t i = node.count; i-- > 0;) schedule(Step::Visit, &node.items()[i].node());
    }

    static Value apply(const PairNode& node, const Value& left, const Value& right) {
        switch (node.kind) {
        case CellKind::BinaryOp: {
            Value result;
            if (wrapping_integers(node.op, left, right, result)) return result;
            return binary(node.op, left, right);
        }
        case CellKind::Equals: return Value::boolean(equals(left, right));
        case CellKind::GreaterThan: return Value::boolean(compare_numbers(left, right) > 0);
        default: return Value::boolean(compare_numbers(left, right) < 0);
        }
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

    void collect(const VectorNode& node) {
        std::size_t first = values_.size() - node.count;
        Value vector = Value::vector({&values_[first], node.count});
        values_.drop(node.count);
        values_.push(std::move(vector));
    }

    // ------------------------------------------------------- statements

    void run_list(const Program& list, std::uint32_t index) {
        if (index + 1 < list.size()) schedule(Step::RunList, &list, index + 1);
        execute(list[index].node());
    }

    void execute(const StatementNode& statement) {
        switch (statement.kind) {
        case CellKind::Let: {
            auto& let = static_cast<const LetNode&>(statement);
            return operand_then(let.expr, Step::Bind, &let);
        }
        case CellKind::If: {
            auto& branch = static_cast<const IfNode&>(statement);
            return operand_then(branch.cond, Step::Branch, &branch);
        }
        case CellKind::Fn: {
            auto& fn = static_cast<const FnNode&>(statement);
            std::optional<Value> replaced = machine_.vars.insert(fn.ident, Value::function(fn.f->clone_box()));
            return;
        }
        default: return;  // expression and value cells never reach here
        }
    }

    void bind(const LetNode& let) {
        // The replaced value is released here, after the table's lock is free.
        std::optional<Value> replaced = machine_.vars.insert(let.ident, values_.pop());
    }

    void branch(const IfNode& node) {
        Value cond = values_.pop();
        if (cond.kind() != Kind::Boolean) fail("Expected deduced condition to be a bool, got other type");
        const Program& chosen = cond.as_bool() ? node.then : node.otherwise;
        if (!chosen.empty()) schedule(Step::RunList, &chosen, 0);
    }

    Machine& machine_;
    SmallStack<Task, 32> tasks_;
    SmallStack<Value, 32> values_;
};

}  // namespace

void deduce(Machine& machine, const Program& statements) { Evaluator(machine).run(statements); }

void deduce(Machine& machine, const Statement& statement) { Evaluator(machine).run(statement); }

Value deduce_expr(Machine& machine, const Expr& expr) { return Evaluator(machine).evaluate(expr); }

}  // namespace quarn
