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
#include "value_stack.hpp"

namespace quarn {
namespace {

using namespace detail;

[[noreturn, gnu::cold]] void missing(const Identifier& id) {
    fail("Value cannot be found: " + debug_string(id));
}

[[noreturn, gnu::cold]] void too_large(std::uint64_t limit) {
    fail("Value size limit exceeded: max_value_size=" + std::to_string(limit));
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

// The runs of each machine now going on on this thread, innermost first. A
// run that a function starts on a machine already running below it draws
// on that run's meter, so nesting cannot multiply the operations allowed.
struct ActiveRun {
    const Machine* machine;
    Meter* meter;
    ActiveRun* below;
};
thread_local ActiveRun* active_runs = nullptr;

class MeterScope {
public:
    explicit MeterScope(const Machine& machine) noexcept : own_(machine.limits.max_operations) {
        for (ActiveRun* run = active_runs; run; run = run->below) {
            if (run->machine == &machine) {
                meter_ = run->meter;
                return;
            }
        }
        entry_ = {&machine, &own_, active_runs};
        active_runs = &entry_;
    }
    ~MeterScope() {
        if (meter_ == &own_) active_runs = entry_.below;
    }
    MeterScope(const MeterScope&) = delete;
    MeterScope& operator=(const MeterScope&) = delete;

    Meter& meter() noexcept { return *meter_; }

private:
    Meter own_;
    ActiveRun entry_{};
    Meter* meter_ = &own_;
};

template <class Node>
const Node& node_at(const Instruction& instruction) noexcept {
    return *static_cast<const Node*>(instruction.ref);
}

class Evaluator {
public:
    Evaluator(Machine& machine, Meter& meter) noexcept
        : machine_(machine),
          meter_(meter),
          size_limit_(machine.limits.max_value_size),
          max_size_(size_limit_ ? size_limit_ : Value::kMaxSize) {}

    // The statements in order, in one loop: each one's form runs into the
    // next one's.
    void run(std::span<const Statement* const> statements) {
        if (statements.empty()) return;
        rest_ = statements.subspan(1);
        execute(code_of(statements[0]->node()).ops.data());
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

    Value* loop(const Instruction* at, Value*& sp) {
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
            case Op::Charge: meter_.charge(static_cast<std::uint64_t>(in.arg)); continue;
            case Op::Reserve: sp = stack_.reserve(sp, static_cast<std::size_t>(in.arg)); continue;
            case Op::Let: bind(node_at<LetNode>(in).ident, pop(sp)); continue;
            case Op::LetShallow: let_shallow(in); continue;
            case Op::LetCall: let_call(in); continue;
            case Op::LetArith: let_arith(in, *at++); continue;
            case Op::Append: append(in); continue;
            case Op::Fn: bind_function(in); continue;
            case Op::Branch: at = past(condition(pop(sp)), in, at); continue;
            case Op::BranchShallow: at = past(branch_shallow(in), in, at); continue;
            case Op::BranchLess: at = past(compared<std::less<>>(in, *at), in, at + 1); continue;
            case Op::BranchGreater: at = past(compared<std::greater<>>(in, *at), in, at + 1); continue;
            case Op::BranchEqual: at = past(compared<std::equal_to<>>(in, *at), in, at + 1); continue;
            case Op::Operand: __builtin_unreachable();
            case Op::Jump: at = &in + in.arg; continue;
            case Op::Run: at = run_form(in, at); continue;
            }
            __builtin_unreachable();  // every op is one above, so no range check
        }
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
        const Instruction* next = code_of(rest_.front()->node()).ops.data();
        rest_ = rest_.subspan(1);
        return next;
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
    void bind(const Name& name, Value value) {
        check_size(value);
        if (Value replaced; machine_.vars.replace_remembered(name, value, replaced)) return;
        insert(name, std::move(value));
    }

    [[gnu::noinline]] void insert(const Name& name, Value value) {
        std::optional<Value> replaced = machine_.vars.insert(name, std::move(value));
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
        bool boolean;
        std::int64_t word;
        if (quick_pair(cond, boolean, word) && boolean) return word != 0;
        return condition(shallow(cond));
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
            check_text_size(left.as_string().size() + right.as_string().size());
            if (machine_.vars.append(let.ident, left, right.as_string(), max_size_)) return;
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
        return machine_.vars.append_in_room(x, text, max_size_) || machine_.vars.append(x, text, max_size_);
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

    // A number remembered by the name, the common case, is read on the spot.
    Value lookup(const Name& name) {
        if (Value value; machine_.vars.read_remembered(name, value)) [[likely]]
            return value;
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

    // The integer a leaf holds inline (a literal, or the value its name
    // remembers), read as a plain word; false for anything else.
    bool int_leaf(const ExprNode& leaf, std::int64_t& out) const noexcept {
        if (leaf.kind == CellKind::Ident)
            return machine_.vars.read_remembered_int(static_cast<const IdentNode&>(leaf).id, out);
        const Value& literal = static_cast<const LiteralNode&>(leaf).value;
        out = literal.as_int();
        return literal.is_int();
    }

    // An operator over two integer leaves, the common `x + 1` and `n < i`,
    // worked out on plain words: the result as (is it a bool, its word);
    // false, with nothing done, for anything else, which shallow() then
    // works out.
    bool quick_pair(const ExprNode& node, bool& boolean, std::int64_t& out) const noexcept {
        if (!is_pair(node.kind)) return false;
        auto& pair = static_cast<const PairNode&>(node);
        std::int64_t a, b;
        if (!int_leaf(pair.left.node(), a) || !int_leaf(pair.right.node(), b)) return false;
        boolean = pair.kind != CellKind::BinaryOp;
        switch (pair.kind) {
        case CellKind::BinaryOp:
            if (pair.op == Operator::Div) return false;
            out = wrapping(pair.op, a, b);
            return true;
        case CellKind::Equals: out = a == b; return true;
        case CellKind::GreaterThan: out = a > b; return true;
        default: out = a < b; return true;
        }
    }

    bool quick(const ExprNode& node, Value& out) const noexcept {
        if (is_leaf(node.kind)) return peek(node, out);
        bool boolean;
        std::int64_t word;
        if (!quick_pair(node, boolean, word)) return false;
        out = boolean ? Value::boolean(word != 0) : Value::integer(word);
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

    // What a node of two operands makes of their values.
    Value apply(const PairNode& node, const Value& left, const Value& right) {
        switch (node.kind) {
        case CellKind::BinaryOp:
            // Two integers and no division, the common case, stays inline.
            if (node.op != Operator::Div && left.is_int() && right.is_int())
                return Value::integer(wrapping(node.op, left.as_int(), right.as_int()));
            return binary(node.op, left, right);
        case CellKind::Equals: return Value::boolean(equals(left, right, &meter_));
        case CellKind::GreaterThan:
            if (left.is_int() && right.is_int()) return Value::boolean(left.as_int() > right.as_int());
            return Value::boolean(compare_numbers(left, right) > 0);
        default:
            if (left.is_int() && right.is_int()) return Value::boolean(left.as_int() < right.as_int());
            return Value::boolean(compare_numbers(left, right) < 0);
        }
    }

    [[gnu::noinline]] Value binary(Operator op, const Value& left, const Value& right) {
        if (left.kind() == Kind::String) {
            if (right.kind() != Kind::String) fail("Binary operator for unknown type");
            if (op != Operator::Add) fail("Unknown binary operation for Value::String");
            check_text_size(left.as_string().size() + right.as_string().size());
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
        else
            left = binary(op, left, right);
    }

    // The same with the right operand bound to a name: an integer the name
    // remembers is read as a plain word.
    void arith_lookup(const Instruction& in, Value& left) {
        const Name& name = node_at<Name>(in);
        std::int64_t right;
        if (left.is_int() && machine_.vars.read_remembered_int(name, right))
            left.assign_int(wrapping(static_cast<Operator>(in.arg), left.as_int(), right));
        else
            arith_with(in, left, lookup(name));
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
        check_size(result);
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
        check_size(vector);
        new (sp++) Value(std::move(vector));
    }

    // ------------------------------------------------------------ sizes

    void check_size(const Value& value) const {
        if (value.is_shared() && value.size() > max_size_) too_large(size_limit_);
    }

    // Before a text of `bytes` is made: a program that doubles a text must
    // stop before it asks for the memory.
    void check_text_size(std::uint64_t bytes) const {
        if (bytes > max_size_) too_large(size_limit_);
    }

    struct KeptInt {
        std::int64_t value;
        bool held;
    };

    Machine& machine_;
    Meter& meter_;
    const std::uint64_t size_limit_;  // as given; 0 for none
    const std::uint64_t max_size_;
    ValueStack stack_;
    SmallStack<const Instruction*, 16> resume_;
    struct {
        const Binding* binding = nullptr;
        std::uint32_t version = 1;  // odd: a version no binding has at rest
        Value handle;
    } called_;
    std::span<const Statement* const> rest_;  // the statements still to run
    std::array<KeptInt, kKeptNames> kept_{};  // the integers of names read again (kKeptNames)
};

}  // namespace

void run(Machine& machine, std::span<const Statement* const> statements) {
    MeterScope scope(machine);
    Evaluator(machine, scope.meter()).run(statements);
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
    MeterScope scope(machine);
    std::unique_ptr<Code> code = compile(expr.node());
    return Evaluator(machine, scope.meter()).evaluate(*code);
}

}  // namespace quarn
