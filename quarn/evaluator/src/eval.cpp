// The evaluator. It never recurses: a statement runs as its flat form
// (code.hpp), one loop over its instructions with the values on a stack and
// the blocks and shared statements it has entered on a second one. So the
// depth of a program costs heap, never machine stack, and a function called
// from the bottom of a deep tree runs with almost the whole stack its thread
// had when the run began.
//
// The order of work is exactly that of a recursive descent: statements in
// list order; a node's operands left before right, each completely, before
// the node's own checks; a call's argument before its function is looked up;
// vector items first to last.

#include "quarn/eval.hpp"

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "code.hpp"
#include "quarn/debug.hpp"
#include "quarn/error.hpp"
#include "quarn/meter.hpp"
#include "quarn/small_stack.hpp"
#include "quarn/budget.hpp"
#include "size_limit.hpp"
#include "value_stack.hpp"

namespace quarn {
namespace {

using namespace detail;

[[noreturn, gnu::cold]] void missing(const Identifier& id) {
    fail("Value cannot be found: " + debug_string(id));
}

int compare_numbers(const Value& left, const Value& right) {
    if (left.kind() != Kind::Number || right.kind() != Kind::Number)
        fail("Both left-hand and right-hand side values must be a number");
    return compare(left.as_number(), right.as_number());
}

bool condition(const Value& cond) {
    if (cond.kind() != Kind::Boolean) fail("Expected deduced condition to be a bool, got other type");
    return cond.as_bool();
}

template <class Node>
const Node& node_at(const Instruction& instruction) noexcept {
    return *static_cast<const Node*>(instruction.ref);
}

class Evaluator {
public:
    Evaluator(Machine& machine, Meter& meter) noexcept
        : machine_(machine), meter_(meter), sizes_(machine.limits.max_value_size) {}

    // The statements in order, in one loop: each one's form runs into the
    // next one's. A failure names its statement in `site`, if given.
    void run(std::span<const Statement* const> statements, FailureSite* site) {
        if (statements.empty()) return;
        statements_ = statements;
        rest_ = statements.subspan(1);
        try {
            execute(entry(statements[0]->node()));
        } catch (...) {
            if (site) locate(*site);
            throw;
        }
    }

    Value evaluate(const Code& code) {
        execute(code.ops.data());
        Value* top = stack_.top() - 1;
        Value result = std::move(*top);
        std::destroy_at(top);
        stack_.settle(top);
        return result;
    }

private:
    // The stack's top lives in `sp` while the loop runs; the stack is told
    // where it is when the loop ends, however it ends.
    void execute(const Instruction* at) {
        Value* sp = stack_.top();
        try {
            sp = loop(at, sp);
        } catch (...) {
            stack_.settle(sp);
            throw;
        }
        stack_.settle(sp);
    }

    // Where the loop was when a failure left it is kept only then: the
    // handler sees `at` where the failing call left it, at no cost to a run
    // that does not fail.
    Value* loop(const Instruction* at, Value*& sp) {
        try {
            return step(at, sp);
        } catch (...) {
            failed_at_ = at;
            throw;
        }
    }

    [[gnu::always_inline]] Value* step(const Instruction*& at, Value*& sp) {
        for (;;) {
            const Instruction& in = *at++;
            switch (in.op) {
            case Op::Literal: new (sp++) Value(node_at<Value>(in)); continue;
            case Op::SmallInt: new (sp++) Value(Value::integer(in.arg)); continue;
            case Op::Lookup: new (sp) Value(lookup(node_at<Name>(in))), ++sp; continue;
            case Op::Arith: arith(in, sp); continue;
            case Op::ArithLiteral: arith_with(in, sp[-1], node_at<Value>(in)); continue;
            case Op::ArithLookup: arith_lookup(in, sp[-1]); continue;
            case Op::ArithLookupKeep: arith_keep(in, sp[-1]); continue;
            case Op::ArithKept: arith_kept(in, sp[-1]); continue;
            case Op::Pair: combine(node_at<PairNode>(in), sp); continue;
            case Op::Not: negate(sp[-1]); continue;
            case Op::Call: sp[-1] = invoke(node_at<CallNode>(in), std::move(sp[-1])); continue;
            case Op::Vector: collect(static_cast<std::size_t>(in.arg), sp); continue;
            case Op::Enter: resume_.push(at); at = &in + in.arg; continue;
            case Op::Return: if (!(at = after_return())) return sp; continue;
            case Op::Reserve: sp = reserve(in, sp); continue;
            case Op::Let: bind(node_at<LetNode>(in).ident, pop(sp)); continue;
            case Op::LetLiteral: let_literal(in); continue;
            case Op::LetShallow: let_shallow(in); continue;
            case Op::LetCall: let_call(in); continue;
            case Op::LetArith: let_arith(in, *at++); continue;
            case Op::LetArithNumber: let_arith_number(in, *at++); continue;
            case Op::Append: append(in); continue;
            case Op::Fn: bind_function(in); continue;
            case Op::Branch: at = past(condition(pop(sp)), in, at); continue;
            case Op::BranchShallow: at = past(branch_shallow(in), in, at); continue;
            case Op::BranchLess: at = past(compared<std::less<>>(in, *at), in, at + 1); continue;
            case Op::BranchGreater: at = past(compared<std::greater<>>(in, *at), in, at + 1); continue;
            case Op::BranchEqual: at = past(compared<std::equal_to<>>(in, *at), in, at + 1); continue;
            case Op::BranchNumber: at = past(compared_number(in, *at), in, at + 1); continue;
            case Op::BranchText: at = past(compared_text(in, *at), in, at + 1); continue;
            case Op::Jump: at = &in + in.arg; continue;
            case Op::Run: at = run_form(in, at); continue;
            default: __builtin_unreachable();  // an Operand is never run: no range check
            }
        }
    }

    // A statement's or a block's charge, and room for its expression's values.
    Value* reserve(const Instruction& in, Value* sp) {
        meter_.charge(in.charge);
        return stack_.reserve(sp, static_cast<std::size_t>(in.arg));
    }

    // Where a branch goes on: to `next` when its condition holds, else to
    // its target.
    static const Instruction* past(bool holds, const Instruction& branch, const Instruction* next) noexcept {
        return holds ? next : &branch + branch.arg;
    }

    // Runs the statement at `in` by its own form, then goes on at `next`.
    const Instruction* run_form(const Instruction& in, const Instruction* next) {
        resume_.push(next);
        return code_of(node_at<StatementNode>(in)).ops.data();
    }

    // Where a form goes on when it returns: into the block or statement that
    // entered it, else into the next statement of the run; null at the end.
    const Instruction* after_return() {
        if (!resume_.empty()) return resume_.pop();
        if (rest_.empty()) return nullptr;
        const Instruction* next = entry(rest_.front()->node());
        rest_ = rest_.subspan(1);
        return next;
    }

    // Where a statement of the run begins: its compiled form, or, the first
    // time a statement that needs no stack runs, its instructions made in
    // `scratch_` (see code_slot.hpp). They are read to their Return before
    // the next statement's take their place.
    const Instruction* entry(const StatementNode& statement) {
        if (const Code* code = statement.code.get()) [[likely]]
            return code->ops.data();
        return first_entry(statement);
    }

    [[gnu::noinline]] const Instruction* first_entry(const StatementNode& statement) {
        if (statement.code.first_run() && simple_form(statement, scratch_)) return scratch_.data();
        return code_of(statement).ops.data();
    }

    // The statement that failed: the run's statement running, then, in its
    // form, the statement holding the failing instruction, through the
    // forms it ran (Run) down to the one it failed in; a block (Enter)
    // stands for the statement that entered it. A statement run from
    // scratch_ holds no other.
    void locate(FailureSite& site) const {
        site.steps.push_back({FailureSite::Branch::Top, statements_.size() - rest_.size() - 1});
        const Code* form = statements_[site.steps[0].index]->node().code.get();
        if (!failed_at_ || !form || (failed_at_ > scratch_.data() && failed_at_ <= scratch_.data() + scratch_.size()))
            return;
        for (std::size_t i = 0; i < resume_.size(); ++i) {
            const Instruction& entered = resume_[i][-1];
            append_site(*form, static_cast<std::size_t>(&entered - form->ops.data()), false, site.steps);
            if (entered.op != Op::Run) return;
            form = node_at<StatementNode>(entered).code.get();
        }
        append_site(*form, static_cast<std::size_t>(failed_at_ - 1 - form->ops.data()), false, site.steps);
    }

    static Value pop(Value*& sp) noexcept {
        Value top = std::move(*--sp);
        std::destroy_at(sp);
        return top;
    }

    // ------------------------------------------------------- statements

    // A name bound before, the common case, is rebound through the binding
    // it remembers. The replaced value is released here, after the
    // binding's lock is free.
    [[gnu::always_inline]] void bind(const Name& name, Value value) {
        sizes_.check(value);
        if (Value replaced; machine_.vars.replace_remembered(name, value, replaced)) return;
        insert(name, std::move(value));
    }

    [[gnu::noinline]] void insert(const Name& name, Value value) {
        std::optional<Value> replaced = machine_.vars.insert(name, std::move(value));
    }

    void let_literal(const Instruction& in) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(in);
        bind(let.ident, static_cast<const LiteralNode&>(let.expr.node()).value);
    }

    void let_shallow(const Instruction& in) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(in);
        Value value;
        if (!quick(let.expr.node(), value)) value = shallow(let.expr.node());
        bind(let.ident, std::move(value));
    }

    // `x = n + 1` with n bound to an integer is worked out on two words.
    void let_arith(const Instruction& in, const Instruction& operand) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(operand);
        std::int64_t n;
        if (!machine_.vars.read_remembered_int(node_at<Name>(in), n)) [[unlikely]]
            return bind(let.ident, shallow(let.expr.node()));
        bind(let.ident, Value::integer(wrapping(static_cast<Operator>(in.arg), n, operand.arg)));
    }

    // `x = n * 1.5` with n bound to a number: worked out on the two words.
    [[gnu::noinline]] void let_arith_number(const Instruction& in, const Instruction& operand) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(operand);
        const Value& literal = right_literal(let.expr.node());
        auto op = static_cast<Operator>(in.arg);
        Value n;
        if (!read_here(node_at<Name>(in), n) || !n.is_number() ||
            (op == Operator::Div && literal.is_int() && n.is_int())) [[unlikely]]
            return bind(let.ident, shallow(let.expr.node()));
        bool integers = literal.is_int() && n.is_int();
        bind(let.ident, integers ? Value::integer(wrapping(op, n.as_int(), literal.as_int()))
                                 : Value::real(ieee(op, n.to_double(), literal.to_double())));
    }

    void let_call(const Instruction& in) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(in);
        bind(let.ident, call_of_leaf(static_cast<const CallNode&>(let.expr.node())));
    }

    void bind_function(const Instruction& in) {
        meter_.charge(in.cost);
        const FnNode& fn = node_at<FnNode>(in);
        std::optional<Value> replaced = machine_.vars.insert(fn.ident, Value::function(fn.f->clone_box()));
    }

    bool branch_shallow(const Instruction& in) {
        meter_.charge(in.cost);
        const ExprNode& cond = node_at<IfNode>(in).cond.node();
        Value value;
        if (!quick(cond, value)) value = shallow(cond);
        return condition(value);
    }

    // `n < 10` with n bound to an integer is two words compared; anything
    // else goes the general way.
    template <class Compare>
    bool compared(const Instruction& in, const Instruction& operand) {
        meter_.charge(in.cost);
        std::int64_t n;
        if (!machine_.vars.read_remembered_int(node_at<Name>(in), n)) [[unlikely]]
            return condition(shallow(node_at<PairNode>(operand)));
        return Compare{}(n, std::int64_t{operand.arg});
    }

    // `n > 99.5` with n bound to a number: the two compared on the spot.
    [[gnu::noinline]] bool compared_number(const Instruction& in, const Instruction& operand) {
        meter_.charge(in.cost);
        const ExprNode& cond = node_at<ExprNode>(operand);
        const Value& literal = right_literal(cond);
        Value n;
        if (!read_here(node_at<Name>(in), n) || !n.is_number()) [[unlikely]]
            return condition(shallow(cond));
        switch (cond.kind) {
        case CellKind::LessThan: return order(n, literal) < 0;
        case CellKind::GreaterThan: return order(n, literal) > 0;
        default: return same_number(n.as_number(), literal.as_number());
        }
    }

    // `n == "text"` with n bound to a text: compared where it is bound.
    [[gnu::noinline]] bool compared_text(const Instruction& in, const Instruction& operand) {
        meter_.charge(in.cost);
        const ExprNode& cond = node_at<ExprNode>(operand);
        const Binding* binding = machine_.vars.remembered(node_at<Name>(in));
        int equal = binding ? binding->equals_text(right_literal(cond).as_string()) : -1;
        if (equal < 0) [[unlikely]]
            return condition(shallow(cond));
        return equal != 0;
    }

    static const Value& right_literal(const ExprNode& pair) noexcept {
        return static_cast<const LiteralNode&>(static_cast<const PairNode&>(pair).right.node()).value;
    }

    // `x = x + leaf`, evaluated as shallow() would. When x holds a text that
    // only the table and this run hold, the text grows in place: a program
    // that builds a text piece by piece then costs time linear in its length.
    void append(const Instruction& in) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(in);
        auto& pair = static_cast<const PairNode&>(let.expr.node());
        if (!appended_in_table(let.ident, pair.right.node())) append_by_value(let, pair);
    }

    [[gnu::noinline]] void append_by_value(const LetNode& let, const PairNode& pair) {
        Value left = lookup(static_cast<const IdentNode&>(pair.left.node()).id);
        Value held_right;
        const Value& right = leaf(pair.right.node(), held_right);
        if (left.kind() == Kind::String && right.kind() == Kind::String) {
            sizes_.check_text(left.as_string().size() + right.as_string().size());
            if (machine_.vars.append(let.ident, left, right.as_string(), sizes_.max())) return;
        }
        bind(let.ident, apply(pair, left, right));
    }

    // The common `x = x + "text"` once x is bound: the table alone may hold
    // x's text, so it grows in place under its binding's lock, with no
    // handle taken out. Nothing here can fail: x being unbound, no text or too long
    // a text leaves the work to the general path, which reports it.
    bool appended_in_table(const Name& x, const ExprNode& right) {
        if (right.kind != CellKind::Literal) return false;
        const Value& tail = static_cast<const LiteralNode&>(right).value;
        if (tail.kind() != Kind::String) return false;
        std::string_view text = tail.as_string();
        return machine_.vars.append_in_room(x, text, sizes_.max()) || machine_.vars.append(x, text, sizes_.max());
    }

    // ------------------------------------------------------ expressions

    // An operator's right operand that its expression reads again
    // (kKeptNames): the first read keeps the integer, the later ones use it.
    void arith_keep(const Instruction& in, Value& left) {
        KeptInt& kept = kept_[in.cost];
        kept.held = machine_.vars.read_remembered_int(node_at<Name>(in), kept.value);
        if (kept.held && left.is_int()) {
            left.assign_int(wrapping(static_cast<Operator>(in.arg), left.as_int(), kept.value));
            return;
        }
        Value right = lookup(node_at<Name>(in));
        kept = {right.as_int(), right.is_int()};
        arith_with(in, left, right);
    }

    void arith_kept(const Instruction& in, Value& left) {
        const KeptInt& kept = kept_[in.cost];
        if (kept.held && left.is_int())
            left.assign_int(wrapping(static_cast<Operator>(in.arg), left.as_int(), kept.value));
        else
            arith_lookup(in, left);
    }

    // The number, boolean or null bound to a name that remembers its
    // binding, read inline in the out-of-line handlers of the instructions
    // that read numbers (the table's own reader is a call there).
    [[gnu::always_inline]] bool read_here(const Name& name, Value& out) const noexcept {
        const Binding* binding = machine_.vars.remembered(name);
        return binding && binding->copy_unlocked(out);
    }

    // A value the name remembers its binding for, the common case, is read
    // on the spot: a number as two words, a shared value with a count.
    [[gnu::always_inline]] Value lookup(const Name& name) {
        if (Value value; machine_.vars.read_remembered(name, value)) [[likely]]
            return value;
        if (const Binding* binding = machine_.vars.remembered(name)) return binding->copy();
        return find(name);
    }

    [[gnu::noinline]] Value find(const Name& name) {
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

    // A leaf's value when it is held inline (a literal number, a number
    // its name remembers), copied as two words; false otherwise.
    bool peek(const ExprNode& leaf, Value& out) const noexcept {
        if (leaf.kind == CellKind::Ident)
            return machine_.vars.read_remembered(static_cast<const IdentNode&>(leaf).id, out);
        const Value& literal = static_cast<const LiteralNode&>(leaf).value;
        if (literal.is_shared()) return false;
        out = Value::adopt(literal.tag_word(), literal.value_word());
        return true;
    }

    // A leaf, or an operator over two leaves, whose values are all held
    // inline (numbers, booleans, null: literals, or bound to names that
    // remember their bindings), worked out without a count or a call: the
    // common `x + 1`, `n < i`, `price * 1.2`. False, with nothing done, for
    // anything else, which shallow() then works out, failing as it would.
    bool quick(const ExprNode& node, Value& out) {
        if (is_leaf(node.kind)) return peek(node, out);
        if (!is_pair(node.kind)) return false;
        auto& pair = static_cast<const PairNode&>(node);
        Value left, right;
        if (!peek(pair.left.node(), left) || !peek(pair.right.node(), right)) return text_equality(pair, out);
        out = apply(pair, left, right);
        return true;
    }

    // `tier == "gold"`: a name compared with a literal text, the common test
    // of a category, compared where the text is bound.
    bool text_equality(const PairNode& pair, Value& out) const noexcept {
        if (pair.kind != CellKind::Equals || pair.left.kind() != CellKind::Ident ||
            pair.right.kind() != CellKind::Literal)
            return false;
        const Value& literal = static_cast<const LiteralNode&>(pair.right.node()).value;
        const Binding* binding = machine_.vars.remembered(static_cast<const IdentNode&>(pair.left.node()).id);
        if (literal.kind() != Kind::String || !binding) return false;
        int equal = binding->equals_text(literal.as_string());
        if (equal < 0) return false;
        out = Value::boolean(equal != 0);
        return true;
    }

    // A leaf, an operator over two leaves, or a call of a leaf (see
    // is_shallow()): what quick() leaves.
    [[gnu::noinline]] Value shallow(const ExprNode& node) {
        if (node.kind == CellKind::Literal) return static_cast<const LiteralNode&>(node).value;
        if (node.kind == CellKind::Ident) return lookup(static_cast<const IdentNode&>(node).id);
        if (node.kind == CellKind::Call) return call_of_leaf(static_cast<const CallNode&>(node));
        auto& pair = static_cast<const PairNode&>(node);
        Value held_left, held_right;
        const Value& left = leaf(pair.left.node(), held_left);
        return apply(pair, left, leaf(pair.right.node(), held_right));
    }

    // What a node of two operands makes of their values. Numbers, the
    // common case, are worked out inline.
    Value apply(const PairNode& node, const Value& left, const Value& right) {
        switch (node.kind) {
        case CellKind::BinaryOp:
            if (left.is_int() && right.is_int()) {
                if (node.op != Operator::Div) return Value::integer(wrapping(node.op, left.as_int(), right.as_int()));
            } else if (left.is_number() && right.is_number()) {
                return Value::real(ieee(node.op, left.to_double(), right.to_double()));
            }
            return binary(node.op, left, right);
        case CellKind::Equals: return Value::boolean(equals(left, right, &meter_));
        case CellKind::GreaterThan: return Value::boolean(order(left, right) > 0);
        default: return Value::boolean(order(left, right) < 0);
        }
    }

    static int order(const Value& left, const Value& right) {
        if (left.is_int() && right.is_int()) return (left.as_int() > right.as_int()) - (left.as_int() < right.as_int());
        if (left.is_number() && right.is_number()) return compare_doubles(left.to_double(), right.to_double());
        return compare_numbers(left, right);
    }

    [[gnu::noinline]] Value binary(Operator op, const Value& left, const Value& right) {
        if (left.kind() == Kind::String) {
            if (right.kind() != Kind::String) fail("Binary operator for unknown type");
            if (op != Operator::Add) fail("Unknown binary operation for Value::String");
            sizes_.check_text(left.as_string().size() + right.as_string().size());
            return Value::concat(left.as_string(), right.as_string());
        }
        if (left.kind() != Kind::Number || right.kind() != Kind::Number) fail("Binary operator for unknown type");
        return Value::number(arithmetic(op, left.as_number(), right.as_number()));
    }

    // Add, Sub or Mul; two integers, the common case, are done in place.
    void arith(const Instruction& in, Value*& sp) {
        if (sp[-2].is_int() && sp[-1].is_int()) {
            sp[-2].assign_int(wrapping(static_cast<Operator>(in.arg), sp[-2].as_int(), sp[-1].as_int()));
            --sp;  // an integer has nothing to release
            return;
        }
        Value right = pop(sp);
        arith_with(in, sp[-1], right);
    }

    // The same with the right operand at hand rather than on the stack.
    void arith_with(const Instruction& in, Value& left, const Value& right) {
        auto op = static_cast<Operator>(in.arg);
        if (left.is_int() && right.is_int())
            left.assign_int(wrapping(op, left.as_int(), right.as_int()));
        else if (left.is_number() && right.is_number())
            left.assign_real(ieee(op, left.to_double(), right.to_double()));
        else
            left = binary(op, left, right);
    }

    // The same with the right operand bound to a name, a number read and
    // worked out on the spot. The two cases of arith_with are written out
    // again here: a helper that both inline changes how the loop is compiled
    // and costs the integer workloads about a fifth.
    [[gnu::noinline]] void arith_lookup(const Instruction& in, Value& left) {
        const Name& name = node_at<Name>(in);
        Value right;
        if (!read_here(name, right)) [[unlikely]]
            return arith_with(in, left, lookup(name));
        auto op = static_cast<Operator>(in.arg);
        if (left.is_int() && right.is_int())
            left.assign_int(wrapping(op, left.as_int(), right.as_int()));
        else if (left.is_number() && right.is_number()) [[likely]]
            left.assign_real(ieee(op, left.to_double(), right.to_double()));
        else
            arith_with(in, left, right);
    }

    void combine(const PairNode& node, Value*& sp) {
        Value right = pop(sp);
        sp[-1] = apply(node, sp[-1], right);
    }

    void negate(Value& item) {
        if (item.kind() != Kind::Boolean) fail("The not expression must be used on a boolean value");
        item = Value::boolean(!item.as_bool());
    }

    [[gnu::noinline]] Value call_of_leaf(const CallNode& call) {
        Value held;
        return invoke(call, Value(leaf(call.arg.node(), held)));
    }

    Value invoke(const CallNode& node, Value argument) {
        const Value& function = function_named(node.ident);
        if (function.kind() != Kind::Function) fail("called `Option::unwrap()` on a `None` value");
        Value result = function.as_function().run(std::move(argument));
        sizes_.check(result);
        return result;
    }

    // The value a call finds under its name. The run keeps a handle to the
    // last one it called, so a function that rebinds its own name while it
    // runs stays alive, and a loop of calls to one function reuses the
    // handle for as long as the binding's version says it was not rebound,
    // with no lock and no count taken.
    const Value& function_named(const Name& name) {
        const Binding* binding = machine_.vars.remembered(name);
        if (binding && binding == called_.binding && binding->version() == called_.version) return called_.handle;
        std::uint32_t version = binding ? binding->version() : 1;
        Value found = lookup(name);
        if (!binding) binding = machine_.vars.remembered(name), version = 1;
        called_ = {binding, version, std::move(found)};
        return called_.handle;
    }

    void collect(std::size_t count, Value*& sp) {
        Value vector = Value::vector({sp - count, count});
        std::destroy(sp - count, sp);
        sp -= count;
        sizes_.check(vector);
        new (sp++) Value(std::move(vector));
    }

    struct KeptInt {
        std::int64_t value;
        bool held;
    };

    Machine& machine_;
    Meter& meter_;
    const SizeLimit sizes_;
    ValueStack stack_;
    SmallStack<const Instruction*, 16> resume_;
    struct {
        const Binding* binding = nullptr;
        std::uint32_t version = 1;  // odd: a version no binding has at rest
        Value handle;
    } called_;
    std::span<const Statement* const> statements_;  // the run's
    std::span<const Statement* const> rest_;        // the statements still to run
    const Instruction* failed_at_ = nullptr;        // where a failure left the loop
    // The integers of names read again (kKeptNames), each written before it
    // is read: left uninitialised, they cost a run nothing to set up.
    std::array<KeptInt, kKeptNames> kept_;
    SimpleForm scratch_;  // see entry()
};

}  // namespace

void run(Machine& machine, std::span<const Statement* const> statements, FailureSite* site) {
    if (statements.empty()) return;
    Budget budget(machine);
    Evaluator(machine, budget.meter()).run(statements, site);
}

void run(Machine& machine, std::span<const Statement* const> statements, FailureSite* site, Budget& budget) {
    if (statements.empty()) return;
    Evaluator(machine, budget.meter()).run(statements, site);
}

void run(Machine& machine, const Program& statements) {
    std::vector<const Statement*> each(statements.size());
    for (std::size_t i = 0; i < statements.size(); ++i) each[i] = &statements[i];
    run(machine, each);
}

void run(Machine& machine, const Statement& statement) {
    const Statement* one = &statement;
    run(machine, {&one, 1});
}

Value evaluate(Machine& machine, const Expr& expr) {
    Budget budget(machine);
    std::unique_ptr<Code> code = compile(expr.node());
    return Evaluator(machine, budget.meter()).evaluate(*code);
}

}  // namespace quarn
