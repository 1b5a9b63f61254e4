// The evaluator. It never recurses: a statement runs as its flat form
// (code.hpp), or a program run again as its unit (unit.hpp), one loop over
// its instructions with the values on a stack and the blocks and shared
// statements it has entered on a second one. So the depth of a program
// costs heap, never machine stack, and a function called from the bottom of
// a deep tree runs with almost the whole stack its thread had when the run
// began.
//
// A statement run by its own form reaches a name through the binding the
// name remembers (name.hpp). A unit reaches it through its slot
// (frame.hpp): the binding found on the slot's first use in the run, then a
// plain load; and a number that the unit bound is read back from the slot's
// register, with serialized writers only, for as long as the host's code
// has not run since (host_turns.hpp). Every binding is still written, once
// per statement, so `get`, a function and the next run see it. With
// concurrent writers another thread may rebind a name at any time, so a
// unit reads every name from its binding, as a statement does.
//
// The order of work is exactly that of a recursive descent: statements in
// list order; a node's operands left before right, each completely, before
// the node's own checks; a call's argument before its function is looked up;
// vector items first to last.

#include "quarn/eval.hpp"

#include <array>
#include <bit>
#include <functional>
#include <string>
#include <vector>

#include "code.hpp"
#include "engines.hpp"
#include "frame.hpp"
#include "quarn/debug.hpp"
#include "quarn/error.hpp"
#include "quarn/host_turns.hpp"
#include "quarn/meter.hpp"
#include "quarn/small_stack.hpp"
#include "quarn/budget.hpp"
#include "size_limit.hpp"
#include "unit.hpp"
#include "value_stack.hpp"

// The handlers of a unit's common instructions go into the loop itself when
// the build optimises. A build that does not keeps them apart, so that the
// loop's frame, which each level of re-entry adds to the stack, stays small
// there too.
#ifdef __OPTIMIZE__
#define QUARN_HOT [[gnu::always_inline]]
#else
#define QUARN_HOT
#endif

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
        : machine_(machine),
          meter_(meter),
          sizes_(machine.limits.max_value_size),
          registers_(machine.vars.writers() == Writers::Serialized) {}

    // The statements in order, in one loop: each one's form runs into the
    // next one's. A failure names its statement in `site`, if given.
    void run(std::span<const Statement* const> statements, FailureSite* site) {
        if (statements.empty()) return;
        statements_ = statements;
        rest_ = statements.subspan(1);
        located(site, [&] { execute(entry(statements[0]->node())); });
    }

    // The program as its unit, its names reached through `slots`. No
    // register of an earlier run holds in this one.
    void run(const Unit& unit, Slot* slots, FailureSite* site) {
        unit_ = &unit;
        slots_ = slots;
        host_turn();
        located(site, [&] { execute(unit.code.ops.data()); });
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
    template <class Work>
    void located(FailureSite* site, Work&& work) {
        try {
            work();
        } catch (...) {
            if (site) locate(*site);
            throw;
        }
    }

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

    // A unit's instructions, and those common to every form, are here; the
    // others in by_name(), and those whose work costs far more than a
    // second dispatch.
    [[gnu::always_inline]] Value* step(const Instruction*& at, Value*& sp) {
        for (;;) {
            const Instruction& in = *at++;
            switch (in.op) {
            case Op::Literal: new (sp++) Value(node_at<Value>(in)); continue;
            case Op::SmallInt: new (sp++) Value(Value::integer(in.arg)); continue;
            case Op::LookupSlot: new (sp) Value(lookup<true>(in, node_at<Name>(in))), ++sp; continue;
            case Op::Arith: arith(in, sp); continue;
            case Op::ArithLiteral: arith_with(in, sp[-1], node_at<Value>(in)); continue;
            case Op::ArithLookupSlot: arith_lookup<true>(in, sp[-1]); continue;
            case Op::ArithLookupKeep: arith_keep(in, sp[-1]); continue;
            case Op::ArithKept: arith_kept(in, sp[-1]); continue;
            case Op::Enter: case Op::Within: resume_.push(at); at = &in + in.arg; continue;
            case Op::Return: if (!(at = after_return())) return sp; continue;
            case Op::Reserve: sp = reserve(in, sp); continue;
            case Op::LetSlot: bind<true>(in, node_at<LetNode>(in).ident, pop(sp)); continue;
            case Op::LetLiteralSlot: let_literal<true>(in); continue;
            case Op::LetShallowSlot: let_shallow<true>(in); continue;
            case Op::LetArithSlot: let_arith<true>(in, *at++); continue;
            case Op::LetAddSlot: let_arith<true, true>(in, *at++); continue;
            case Op::AppendSlot: append<true>(in); continue;
            case Op::Branch: at = past(condition(pop(sp)), in, at); continue;
            case Op::BranchShallow: at = past(branch_shallow(in), in, at); continue;
            case Op::BranchLessSlot: at = past(compared<std::less<>, true>(in, *at), in, at + 1); continue;
            case Op::BranchGreaterSlot: at = past(compared<std::greater<>, true>(in, *at), in, at + 1); continue;
            case Op::BranchEqualSlot: at = past(compared<std::equal_to<>, true>(in, *at), in, at + 1); continue;
            case Op::BranchNumberSlot: at = past(compared_number<true>(in, *at), in, at + 1); continue;
            case Op::BranchTextSlot: at = past(compared_text<true>(in, *at), in, at + 1); continue;
            case Op::LetNumbers: let_numbers(in); continue;
            case Op::BranchNumbers: at = past(branch_numbers(in), in, at); continue;
            case Op::Jump: at = &in + in.arg; continue;
            case Op::Pair: case Op::CallSlot: case Op::LetCallSlot: case Op::FnSlot: case Op::Run: case Op::Lookup:
            case Op::ArithLookup: case Op::Not: case Op::Call: case Op::Vector: case Op::Let: case Op::LetLiteral:
            case Op::LetShallow: case Op::LetCall: case Op::LetArith: case Op::LetArithNumber: case Op::Append:
            case Op::Fn: case Op::BranchLess: case Op::BranchGreater: case Op::BranchEqual: case Op::BranchNumber:
            case Op::BranchText: case Op::LetArithNumberSlot: at = by_name(in, at, sp); continue;
            case Op::Operand: default: __builtin_unreachable();  // an Operand is never run: no range check
            }
        }
    }

    // The instructions of statements run by their own forms, which reach a
    // name through the binding it remembers; and calls, functions bound,
    // statements run by their own forms and the rare ones (a unit makes
    // `x = n * 1.5` an expression of numbers).
    QUARN_HOT const Instruction* by_name(const Instruction& in, const Instruction* at, Value*& sp) {
        switch (in.op) {
        case Op::Pair: combine(node_at<PairNode>(in), sp); return at;
        case Op::CallSlot: sp[-1] = invoke<true>(in, node_at<CallNode>(in), std::move(sp[-1])); return at;
        case Op::LetCallSlot: let_call<true>(in); return at;
        case Op::FnSlot: bind_function<true>(in); return at;
        case Op::Run: return run_form(in, at);
        case Op::Lookup: new (sp) Value(lookup(node_at<Name>(in))), ++sp; return at;
        case Op::ArithLookup: arith_lookup<false>(in, sp[-1]); return at;
        case Op::Not: negate(sp[-1]); return at;
        case Op::Call: sp[-1] = invoke<false>(in, node_at<CallNode>(in), std::move(sp[-1])); return at;
        case Op::Vector: collect(static_cast<std::size_t>(in.arg), sp); return at;
        case Op::Let: bind(node_at<LetNode>(in).ident, pop(sp)); return at;
        case Op::LetLiteral: let_literal<false>(in); return at;
        case Op::LetShallow: let_shallow<false>(in); return at;
        case Op::LetCall: let_call<false>(in); return at;
        case Op::LetArith: let_arith<false>(in, *at); return at + 1;
        case Op::LetArithNumber: let_arith_number<false>(in, *at); return at + 1;
        case Op::LetArithNumberSlot: let_arith_number<true>(in, *at); return at + 1;
        case Op::Append: append<false>(in); return at;
        case Op::Fn: bind_function<false>(in); return at;
        case Op::BranchLess: return past(compared<std::less<>, false>(in, *at), in, at + 1);
        case Op::BranchGreater: return past(compared<std::greater<>, false>(in, *at), in, at + 1);
        case Op::BranchEqual: return past(compared<std::equal_to<>, false>(in, *at), in, at + 1);
        case Op::BranchNumber: return past(compared_number<false>(in, *at), in, at + 1);
        case Op::BranchText: return past(compared_text<false>(in, *at), in, at + 1);
        default: __builtin_unreachable();  // the others are step()'s
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
    // The form binds names without a unit's slots, so that no register
    // holds after it.
    const Instruction* run_form(const Instruction& in, const Instruction* next) {
        resume_.push(next);
        host_turn();
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
    // forms it ran (Run, Within) down to the one it failed in; a block
    // (Enter) stands for the statement that entered it. A statement run
    // from scratch_ holds no other. A unit's own sites name the program's
    // statements.
    void locate(FailureSite& site) const {
        if (unit_) return locate_in(&unit_->code, true, site);
        site.steps.push_back({FailureSite::Branch::Top, statements_.size() - rest_.size() - 1});
        if (failed_at_ > scratch_.data() && failed_at_ <= scratch_.data() + scratch_.size()) return;
        locate_in(statements_[site.steps[0].index]->node().code.get(), false, site);
    }

    void locate_in(const Code* form, bool with_root, FailureSite& site) const {
        if (!failed_at_ || !form) return;
        for (std::size_t i = 0; i < resume_.size(); ++i, with_root = false) {
            const Instruction& entered = resume_[i][-1];
            append_site(*form, static_cast<std::size_t>(&entered - form->ops.data()), with_root, site.steps);
            if (entered.op == Op::Enter) return;
            if (entered.op == Op::Run) form = node_at<StatementNode>(entered).code.get();
        }
        append_site(*form, static_cast<std::size_t>(failed_at_ - 1 - form->ops.data()), with_root, site.steps);
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

    // The same through a unit's slot. Its register takes a number, and
    // holds until the host's code runs: until the replaced value's release,
    // if that lets go of a function.
    template <bool kSlot>
    QUARN_HOT void bind(const Instruction& in, const Name& name, Value value) {
        if constexpr (!kSlot) {
            bind(name, std::move(value));
        } else {
            sizes_.check(value);
            Slot& slot = slots_[in.slot];
            slot.stamp = registers_ && !value.is_shared() ? host_turns : 0;
            slot.tag = value.tag_word();
            slot.word = value.value_word();
            if (slot.binding) [[likely]] {
                Value replaced = slot.binding->exchange(std::move(value));
                return;
            }
            insert(slot, name, std::move(value));
        }
    }

    [[gnu::noinline]] void insert(Slot& slot, const Name& name, Value value) {
        std::optional<Value> replaced = machine_.vars.insert(name, std::move(value), slot.binding);
    }

    template <bool kSlot>
    QUARN_HOT void let_literal(const Instruction& in) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(in);
        const Value& literal = static_cast<const LiteralNode&>(let.expr.node()).value;
        if (kSlot && !literal.is_shared()) return bind_words(in, let.ident, {literal.value_word(), literal.tag_word()});
        bind<kSlot>(in, let.ident, literal);
    }

    template <bool kSlot>
    void let_shallow(const Instruction& in) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(in);
        Value value;
        if (!quick(let.expr.node(), value)) value = shallow(let.expr.node());
        bind<kSlot>(in, let.ident, std::move(value));
    }

    // `x = n + 1` with n bound to an integer is worked out on two words;
    // with `kAdd`, the operator is Add, known here rather than switched on.
    template <bool kSlot, bool kAdd = false>
    QUARN_HOT void let_arith(const Instruction& in, const Instruction& operand) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(operand);
        std::int64_t n;
        if (!read_int<kSlot>(in, node_at<Name>(in), n)) [[unlikely]]
            return bind<kSlot>(operand, let.ident, shallow(let.expr.node()));
        Operator op = kAdd ? Operator::Add : static_cast<Operator>(in.arg);
        auto sum = static_cast<std::uint64_t>(wrapping(op, n, operand.arg));
        if constexpr (kSlot)
            bind_words(operand, let.ident, {sum, Value::kIntTag});
        else
            bind(let.ident, Value::integer(static_cast<std::int64_t>(sum)));
    }

    // `x = n * 1.5` with n bound to a number: worked out on the two words.
    template <bool kSlot>
    [[gnu::noinline]] void let_arith_number(const Instruction& in, const Instruction& operand) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(operand);
        const Value& literal = right_literal(let.expr.node());
        auto op = static_cast<Operator>(in.arg);
        Value n;
        if (!read_inline<kSlot>(in, node_at<Name>(in), n) || !n.is_number() ||
            (op == Operator::Div && literal.is_int() && n.is_int())) [[unlikely]]
            return bind<kSlot>(operand, let.ident, shallow(let.expr.node()));
        bool integers = literal.is_int() && n.is_int();
        bind<kSlot>(operand, let.ident, integers ? Value::integer(wrapping(op, n.as_int(), literal.as_int()))
                                                 : Value::real(ieee(op, n.to_double(), literal.to_double())));
    }

    template <bool kSlot>
    void let_call(const Instruction& in) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(in);
        bind<kSlot>(in, let.ident, call_of_leaf(static_cast<const CallNode&>(let.expr.node())));
    }

    // A function's copy is the host's code too.
    template <bool kSlot>
    void bind_function(const Instruction& in) {
        meter_.charge(in.cost);
        const FnNode& fn = node_at<FnNode>(in);
        Value function = Value::function(fn.f->clone_box());
        host_turn();
        if constexpr (kSlot) {
            bind<true>(in, fn.ident, std::move(function));
        } else {
            std::optional<Value> replaced = machine_.vars.insert(fn.ident, std::move(function));
        }
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
    template <class Compare, bool kSlot>
    bool compared(const Instruction& in, const Instruction& operand) {
        meter_.charge(in.cost);
        std::int64_t n;
        if (!read_int<kSlot>(in, node_at<Name>(in), n)) [[unlikely]]
            return condition(shallow(node_at<PairNode>(operand)));
        return Compare{}(n, std::int64_t{operand.arg});
    }

    // `n > 99.5` with n bound to a number: the two compared on the spot.
    template <bool kSlot>
    [[gnu::noinline]] bool compared_number(const Instruction& in, const Instruction& operand) {
        meter_.charge(in.cost);
        const ExprNode& cond = node_at<ExprNode>(operand);
        const Value& literal = right_literal(cond);
        Value n;
        if (!read_inline<kSlot>(in, node_at<Name>(in), n) || !n.is_number()) [[unlikely]]
            return condition(shallow(cond));
        switch (cond.kind) {
        case CellKind::LessThan: return order(n, literal) < 0;
        case CellKind::GreaterThan: return order(n, literal) > 0;
        default: return same_number(n.as_number(), literal.as_number());
        }
    }

    // `n == "text"` with n bound to a text: compared where it is bound.
    template <bool kSlot>
    QUARN_HOT bool compared_text(const Instruction& in, const Instruction& operand) {
        meter_.charge(in.cost);
        const ExprNode& cond = node_at<ExprNode>(operand);
        const Binding* binding = binding_of<kSlot>(in, node_at<Name>(in));
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
    template <bool kSlot>
    void append(const Instruction& in) {
        meter_.charge(in.cost);
        const LetNode& let = node_at<LetNode>(in);
        auto& pair = static_cast<const PairNode&>(let.expr.node());
        if (!appended_in_table<kSlot>(in, let.ident, pair.right.node())) append_by_value<kSlot>(in, let, pair);
    }

    template <bool kSlot>
    [[gnu::noinline]] void append_by_value(const Instruction& in, const LetNode& let, const PairNode& pair) {
        Value left = lookup(static_cast<const IdentNode&>(pair.left.node()).id);
        Value held_right;
        const Value& right = leaf(pair.right.node(), held_right);
        if (left.kind() == Kind::String && right.kind() == Kind::String) {
            sizes_.check_text(left.as_string().size() + right.as_string().size());
            if (machine_.vars.append(let.ident, left, right.as_string(), sizes_.max())) return;
        }
        bind<kSlot>(in, let.ident, apply(pair, left, right));
    }

    // The common `x = x + "text"` once x is bound: the table alone may hold
    // x's text, so it grows in place under its binding's lock, with no
    // handle taken out. Nothing here can fail: x being unbound, no text or too long
    // a text leaves the work to the general path, which reports it. A text
    // is never in a register.
    template <bool kSlot>
    bool appended_in_table(const Instruction& in, const Name& x, const ExprNode& right) {
        if (right.kind != CellKind::Literal) return false;
        const Value& tail = static_cast<const LiteralNode&>(right).value;
        if (tail.kind() != Kind::String) return false;
        std::string_view text = tail.as_string();
        if constexpr (kSlot) {
            Binding* binding = slot_binding(in.slot, x);
            return binding && (binding->append_in_room(text, sizes_.max()) ||
                               binding->append_if_held_by(1, nullptr, text, sizes_.max()));
        }
        return machine_.vars.append_in_room(x, text, sizes_.max()) || machine_.vars.append(x, text, sizes_.max());
    }

    // ------------------------------------------ expressions of numbers

    // A number or a boolean as its two words.
    struct Words {
        std::uint64_t word;
        std::uint8_t tag;
    };

    QUARN_HOT void let_numbers(const Instruction& in) {
        meter_.charge(in.cost);
        const NumberCode& code = node_at<NumberCode>(in);
        Words result;
        if (!numbers(code, result)) [[unlikely]]
            return bind<true>(in, *code.target, pairs(*code.expression));
        bind_words(in, *code.target, result);
    }

    // A number or a boolean bound through a unit's slot: no size to check.
    // With serialized writers, the register takes it.
    QUARN_HOT void bind_words(const Instruction& in, const Name& name, Words value) {
        Slot& slot = slots_[in.slot];
        Binding* binding = slot.binding;
        if (registers_) {
            slot.stamp = host_turns;
            slot.word = value.word;
            slot.tag = value.tag;
            if (binding) [[likely]] {
                Value replaced = binding->exchange_alone(Value::adopt(value.tag, value.word));
                return;
            }
        } else if (binding) [[likely]] {
            Value replaced = binding->exchange(Value::adopt(value.tag, value.word));
            return;
        }
        insert(slot, name, Value::adopt(value.tag, value.word));
    }

    QUARN_HOT bool branch_numbers(const Instruction& in) {
        meter_.charge(in.cost);
        const NumberCode& code = node_at<NumberCode>(in);
        Words result;
        if (!numbers(code, result)) [[unlikely]]
            return condition(pairs(*code.expression));
        return result.word != 0;
    }

    // The code's value, worked out on numbers (number_code.hpp); false,
    // with nothing done, when one of its names holds anything else. Doubles
    // alone, the common case, go to the code's kernel, which knows its
    // operators.
    QUARN_HOT bool numbers(const NumberCode& code, Words& out) {
        if (!code.on_doubles) return numbers_in_order(code, out);
        Words a, b, c{std::bit_cast<std::uint64_t>(0.0), Value::kFloatTag};
        if (!leaf_words(code.leaf[0], a) || !leaf_words(code.leaf[1], b) ||
            (code.leaves == 3 && !leaf_words(code.leaf[2], c)))
            return false;
        if (((a.tag ^ Value::kFloatTag) | (b.tag ^ Value::kFloatTag) | (c.tag ^ Value::kFloatTag)) == 0) [[likely]] {
            auto real = [](Words w) { return std::bit_cast<double>(w.word); };
            out = {code.on_doubles(real(a), real(b), real(c)), code.result_tag};
            return true;
        }
        out = by_shape(code, a, b, c);
        return true;
    }

    // The same with an integer among the values, an operation at a time.
    [[gnu::noinline]] static Words by_shape(const NumberCode& code, Words a, Words b, Words c) {
        const NumberCode::Operation* op = code.operation;
        switch (code.shape) {
        case NumberCode::Shape::One: return worked(op[0].step, a, b);
        case NumberCode::Shape::Left: return worked(op[1].step, worked(op[0].step, a, b), c);
        default: return worked(op[1].step, a, worked(op[0].step, b, c));
        }
    }

    [[gnu::noinline]] bool numbers_in_order(const NumberCode& code, Words& out) {
        Words values[NumberCode::kMostLeaves + NumberCode::kMostSteps];
        for (std::size_t i = 0; i < code.leaves; ++i)
            if (!leaf_words(code.leaf[i], values[i])) return false;
        for (std::size_t i = 0; i < code.operations; ++i) {
            const NumberCode::Operation& operation = code.operation[i];
            values[NumberCode::kMostLeaves + i] = worked(operation.step, values[operation.left], values[operation.right]);
        }
        out = values[NumberCode::kMostLeaves + code.operations - 1];
        return true;
    }

    // A literal, or the number bound to a name: from its register while
    // that holds.
    QUARN_HOT bool leaf_words(const NumberCode::Leaf& leaf, Words& out) {
        if (!leaf.name) {
            out = {leaf.word, leaf.tag};
            return true;
        }
        const Slot& slot = slots_[leaf.slot];
        if (slot.stamp == host_turns) {
            out = {slot.word, slot.tag};
            return is_number_tag(slot.tag);
        }
        const Binding* binding = slot_binding(leaf.slot, *leaf.name);
        return binding && binding->words_unlocked(out.tag, out.word) && is_number_tag(out.tag);
    }

    static bool is_number_tag(std::uint8_t tag) noexcept {
        return tag == Value::kIntTag || tag == Value::kFloatTag;
    }

    // One operation; two doubles, the common case, on the spot.
    QUARN_HOT static Words worked(NumberCode::Step step, Words a, Words b) {
        if ((a.tag ^ Value::kFloatTag) | (b.tag ^ Value::kFloatTag)) [[unlikely]]
            return worked_slowly(step, a, b);
        double x = std::bit_cast<double>(a.word), y = std::bit_cast<double>(b.word);
        switch (step) {
        case NumberCode::Step::Add: return real(x + y);
        case NumberCode::Step::Sub: return real(x - y);
        case NumberCode::Step::Mul: return real(x * y);
        case NumberCode::Step::Div: return real(x / y);
        case NumberCode::Step::Less: return truth(compare_doubles(x, y) < 0);
        case NumberCode::Step::Greater: return truth(compare_doubles(x, y) > 0);
        case NumberCode::Step::Equal: return truth(x == y);
        }
        __builtin_unreachable();
    }

    // Integers, and an integer with a double, by the rules of number.hpp.
    [[gnu::noinline]] static Words worked_slowly(NumberCode::Step step, Words a, Words b) {
        Number x = Value::adopt(a.tag, a.word).as_number(), y = Value::adopt(b.tag, b.word).as_number();
        switch (step) {
        case NumberCode::Step::Less: return truth(compare(x, y) < 0);
        case NumberCode::Step::Greater: return truth(compare(x, y) > 0);
        case NumberCode::Step::Equal: return truth(same_number(x, y));
        default: {
            Value made = Value::number(arithmetic(static_cast<Operator>(step), x, y));
            return {made.value_word(), made.tag_word()};
        }
        }
    }

    static Words real(double x) noexcept { return {std::bit_cast<std::uint64_t>(x), Value::kFloatTag}; }
    static Words truth(bool b) noexcept {
        Value made = Value::boolean(b);
        return {made.value_word(), made.tag_word()};
    }

    // An expression of numbers the general way, where a name holds
    // anything else: as the form of its statement works it out, operands
    // left before right. No deeper than a NumberCode.
    Value pairs(const ExprNode& node) {
        Value held;
        if (is_leaf(node.kind)) return leaf(node, held);
        auto& pair = static_cast<const PairNode&>(node);
        Value left = pairs(pair.left.node());
        Value right = pairs(pair.right.node());
        return apply(pair, left, right);
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
            arith_lookup<false>(in, left);
    }

    // ------------------------------------------------- names and slots

    // The binding of a unit's slot, found through `name` on its first use.
    QUARN_HOT Binding* slot_binding(std::uint16_t i, const Name& name) {
        Slot& slot = slots_[i];
        if (slot.binding) [[likely]]
            return slot.binding;
        return slot.binding = machine_.vars.binding_of(name);
    }

    // The binding a name remembers, or, in a unit, its slot's.
    template <bool kSlot>
    QUARN_HOT const Binding* binding_of(const Instruction& in, const Name& name) {
        if constexpr (kSlot) return slot_binding(in.slot, name);
        return machine_.vars.remembered(name);
    }

    // The number, boolean or null bound to the name, read inline in the
    // out-of-line handlers of the instructions that read numbers (the
    // table's own reader is a call there): in a unit from its register
    // while that holds.
    template <bool kSlot>
    QUARN_HOT bool read_inline(const Instruction& in, const Name& name, Value& out) {
        if constexpr (kSlot) {
            const Slot& slot = slots_[in.slot];
            if (slot.stamp == host_turns) {
                out = Value::adopt(slot.tag, slot.word);
                return true;
            }
        }
        const Binding* binding = binding_of<kSlot>(in, name);
        return binding && binding->copy_unlocked(out);
    }

    // The same for an integer alone.
    template <bool kSlot>
    QUARN_HOT bool read_int(const Instruction& in, const Name& name, std::int64_t& out) {
        if constexpr (kSlot) {
            const Slot& slot = slots_[in.slot];
            if (slot.stamp == host_turns) {
                out = static_cast<std::int64_t>(slot.word);
                return slot.tag == Value::kIntTag;
            }
        }
        const Binding* binding = binding_of<kSlot>(in, name);
        return binding && binding->copy_int_unlocked(out);
    }

    // Any value bound to the name.
    template <bool kSlot>
    QUARN_HOT Value lookup(const Instruction& in, const Name& name) {
        if constexpr (kSlot) {
            if (Value value; read_inline<true>(in, name, value)) [[likely]]
                return value;
            if (const Binding* binding = slot_binding(in.slot, name)) return binding->copy();
            return find(name);
        }
        return lookup(name);
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
    template <bool kSlot>
    [[gnu::noinline]] void arith_lookup(const Instruction& in, Value& left) {
        const Name& name = node_at<Name>(in);
        Value right;
        if (!read_inline<kSlot>(in, name, right)) [[unlikely]]
            return arith_with(in, left, lookup<kSlot>(in, name));
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
        return invoke<false>(Instruction(Op::Call), call, Value(leaf(call.arg.node(), held)));
    }

    // The function may do anything to the machine: no register holds after it.
    template <bool kSlot>
    Value invoke(const Instruction& in, const CallNode& node, Value argument) {
        const Value& function = function_named<kSlot>(in, node.ident);
        if (function.kind() != Kind::Function) fail("called `Option::unwrap()` on a `None` value");
        Value result = function.as_function().run(std::move(argument));
        host_turn();
        sizes_.check(result);
        return result;
    }

    // The value a call finds under its name. The run keeps a handle to the
    // last one it called, so a function that rebinds its own name while it
    // runs stays alive, and a loop of calls to one function reuses the
    // handle for as long as the binding's version says it was not rebound,
    // with no lock and no count taken.
    template <bool kSlot>
    const Value& function_named(const Instruction& in, const Name& name) {
        const Binding* binding = binding_of<kSlot>(in, name);
        if (binding && binding == called_.binding && binding->version() == called_.version) return called_.handle;
        std::uint32_t version = binding ? binding->version() : 1;
        Value found = lookup<kSlot>(in, name);
        if (!binding) binding = binding_of<kSlot>(in, name), version = 1;
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
    const bool registers_;  // whether a unit keeps numbers in its slots' registers
    const Unit* unit_ = nullptr;  // the unit running, if any
    Slot* slots_ = nullptr;       // its slots
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
    run(machine, statements, site, budget);
}

// A program run again runs as its unit, with the slots the thread keeps for
// it on this machine.
void run(Machine& machine, std::span<const Statement* const> statements, FailureSite* site, Budget& budget) {
    if (statements.empty()) return;
    if (const Unit* unit = unit_for(statements)) {
        FrameLease frame(*unit, machine.vars);
        return Evaluator(machine, budget.meter()).run(*unit, frame.slots(), site);
    }
    Evaluator(machine, budget.meter()).run(statements, site);
}

PreparedProgram::PreparedProgram(Machine& machine, std::span<const Statement* const> statements) noexcept
    : machine_(machine), statements_(statements) {}

PreparedProgram::~PreparedProgram() = default;

// Until the program has a unit, each run asks for it, as `run` does: the
// first runs without one and the second compiles it. A program that cannot
// be one runs statement by statement from then on.
void PreparedProgram::run(FailureSite* site, Budget& budget) {
    if (statements_.empty()) return;
    if (!unit_ && asked_ < 2) {
        ++asked_;
        unit_ = unit_for(statements_);
    }
    if (!unit_) return Evaluator(machine_, budget.meter()).run(statements_, site);
    if (!frame_) frame_ = std::make_unique<Frame>(*unit_, machine_.vars);
    Evaluator(machine_, budget.meter()).run(*unit_, frame_->slots(), site);
}

void detail::run_by_statements(Machine& machine, std::span<const Statement* const> statements, FailureSite* site,
                               Budget& budget) {
    Evaluator(machine, budget.meter()).run(statements, site);
}

// A program too large for a unit runs statement by statement here too.
void detail::run_as_unit(Machine& machine, std::span<const Statement* const> statements, FailureSite* site,
                         Budget& budget) {
    if (statements.empty()) return;
    std::unique_ptr<Unit> unit = compile(statements);
    if (!unit->whole) return run_by_statements(machine, statements, site, budget);
    Frame frame(*unit, machine.vars);
    Evaluator(machine, budget.meter()).run(*unit, frame.slots(), site);
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
