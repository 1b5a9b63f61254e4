#include "code.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "children.hpp"
#include "unit.hpp"

namespace quarn::detail {
namespace {

// The operand nodes of an expression node, first to last.
template <class Visit>
void for_each_operand(const ExprNode& node, Visit&& visit) {
    for_each_child(node, [&](const auto& child) {
        if constexpr (std::is_same_v<std::decay_t<decltype(child)>, Expr>) visit(child.node());
    });
}

bool held_elsewhere(const Statement& child) noexcept { return child.node().refs.load(std::memory_order_relaxed) > 1; }

// How many statements a form takes in that other parents hold too; past it,
// they keep forms of their own. A chain of statements whose Python objects
// are still alive (each held by its object and its parent) is compiled
// whole up to here, and one whose every link is run by itself costs each
// link at most this much more.
constexpr std::size_t kMostHeldElsewhere = 4096;

Instruction instruction_for(const ExprNode& node) {
    switch (node.kind) {
    case CellKind::Literal: {
        const Value& value = static_cast<const LiteralNode&>(node).value;
        if (value.is_int() && value.as_int() == static_cast<std::int32_t>(value.as_int()))
            return {Op::SmallInt, 0, static_cast<std::int32_t>(value.as_int()), &value};
        return {Op::Literal, 0, 0, &value};
    }
    case CellKind::Ident: return {Op::Lookup, 0, 0, &static_cast<const IdentNode&>(node).id};
    case CellKind::Not: return {Op::Not, 0, 0, &node};
    case CellKind::Call: return {Op::Call, 0, 0, &node};
    case CellKind::VectorExpr:
        return {Op::Vector, 0, static_cast<std::int32_t>(static_cast<const VectorNode&>(node).count), &node};
    default: break;
    }
    auto& pair = static_cast<const PairNode&>(node);
    if (pair.kind == CellKind::BinaryOp && pair.op != Operator::Div)
        return {Op::Arith, 0, static_cast<std::int32_t>(pair.op), &node};
    return {Op::Pair, 0, 0, &node};
}

std::int32_t clamped(std::size_t n) noexcept {
    return static_cast<std::int32_t>(std::min<std::size_t>(n, std::numeric_limits<std::int32_t>::max()));
}

// How far instruction `to` lies from instruction `from`, either way: a block
// compiled early may be entered from one compiled after it.
std::int32_t distance(std::size_t from, std::size_t to) noexcept {
    return to >= from ? clamped(to - from) : -clamped(from - to);
}

// The name n of an operator `n + 1`, `n < 10` and the like whose right
// operand is a literal that fits an instruction's argument, the commonest
// operator of a statement or a condition, which an instruction then reads
// straight from the name; null for another.
const Name* name_and_small_integer(const ExprNode& expression, std::int32_t& literal) noexcept {
    if (!is_pair(expression.kind)) return nullptr;
    auto& pair = static_cast<const PairNode&>(expression);
    if (pair.left.kind() != CellKind::Ident || pair.right.kind() != CellKind::Literal) return nullptr;
    const Value& right = static_cast<const LiteralNode&>(pair.right.node()).value;
    if (!right.is_int() || right.as_int() != static_cast<std::int32_t>(right.as_int())) return nullptr;
    literal = static_cast<std::int32_t>(right.as_int());
    return &static_cast<const IdentNode&>(pair.left.node()).id;
}

// The same for a right operand that is any literal of the given kind.
const Name* name_and_literal(const ExprNode& expression, Kind kind) noexcept {
    if (!is_pair(expression.kind)) return nullptr;
    auto& pair = static_cast<const PairNode&>(expression);
    if (pair.left.kind() != CellKind::Ident || pair.right.kind() != CellKind::Literal) return nullptr;
    if (static_cast<const LiteralNode&>(pair.right.node()).value.kind() != kind) return nullptr;
    return &static_cast<const IdentNode&>(pair.left.node()).id;
}

Op branch_on(CellKind comparison) noexcept {
    switch (comparison) {
    case CellKind::LessThan: return Op::BranchLess;
    case CellKind::GreaterThan: return Op::BranchGreater;
    default: return Op::BranchEqual;
    }
}

Operator pair_op(const ExprNode& expression) noexcept { return static_cast<const PairNode&>(expression).op; }

Instruction fn_instruction(const StatementNode& fn) noexcept { return {Op::Fn, 1, 0, &fn}; }

// What a shallow statement charges: itself and the nodes of its expression.
std::uint8_t shallow_cost(const ExprNode& expression) noexcept {
    if (is_leaf(expression.kind)) return 2;
    return expression.kind == CellKind::Call ? 3 : 4;
}

// The instructions of a `let` whose form needs no stack (see simple_form),
// written to `out`; how many, 0 for any other `let`.
std::size_t simple_let(const LetNode& let, Instruction* out) noexcept {
    const ExprNode& expression = let.expr.node();
    std::int32_t literal;
    const Name* name = expression.kind == CellKind::BinaryOp && pair_op(expression) != Operator::Div
                           ? name_and_small_integer(expression, literal)
                           : nullptr;
    if (name) {
        out[0] = {Op::LetArith, shallow_cost(expression), static_cast<std::int32_t>(pair_op(expression)), name};
        out[1] = {Op::Operand, 0, literal, &let};
        return 2;
    }
    name = expression.kind == CellKind::BinaryOp ? name_and_literal(expression, Kind::Number) : nullptr;
    if (name) {
        out[0] = {Op::LetArithNumber, shallow_cost(expression), static_cast<std::int32_t>(pair_op(expression)), name};
        out[1] = {Op::Operand, 0, 0, &let};
        return 2;
    }
    if (let.appends) {
        out[0] = {Op::Append, shallow_cost(expression), 0, &let};
        return 1;
    }
    if (!is_shallow(expression)) return 0;
    Op op = expression.kind == CellKind::Literal ? Op::LetLiteral
            : expression.kind == CellKind::Call  ? Op::LetCall
                                                 : Op::LetShallow;
    out[0] = {op, shallow_cost(expression), 0, &let};
    return 1;
}

class Compiler {
public:
    std::unique_ptr<Code> statement(const StatementNode& top) {
        const StatementNode* tops[] = {&top};
        survey(tops);
        find_shared();
        statements({{Task::Statement, &top, 0, -1, FailureSite::Branch::Top, 0, true}});
        return finish();
    }

    // The program's statements one after another, each with its site in
    // the program, then what they enter.
    std::unique_ptr<Code> unit(std::span<const StatementNode* const> program) {
        unit_ = true;
        survey(program);
        find_shared();
        std::vector<Task> tasks;
        for (std::size_t i = program.size(); i-- > 0;)
            tasks.push_back({Task::Statement, program[i], 0, -1, FailureSite::Branch::Top, static_cast<std::uint32_t>(i)});
        statements(std::move(tasks));
        return finish();
    }

    std::unique_ptr<Code> expression(const ExprNode& root) {
        roots_.push_back(&root);
        find_shared();
        charged(root, 0);
        return finish();
    }

private:
    struct Task {
        enum Kind { Statement, Otherwise, End } kind;
        const StatementNode* node;
        std::size_t at = 0;  // the branch or jump to aim at what comes next
        std::int32_t parent = -1;  // a statement's parent site, and where it stands there
        FailureSite::Branch branch = FailureSite::Branch::Top;
        std::uint32_t index = 0;
        bool body = false;  // compiled here even if it runs elsewhere: the root of a form
    };

    // ------------------------------------------------------- first pass

    // The expressions the form holds, and the statements it runs by their
    // own form: a statement that other parents hold too, when this tree
    // reaches it more than once (compiled in, the form would be as large as
    // the tree written out), or once the form holds many such statements.
    // A unit compiles such a statement once, within itself, and enters it
    // from each place instead (see unit.hpp); past that many, it too runs
    // them by their own forms. The statements of a unit's program count as
    // held elsewhere (by whoever runs it), but not towards that many.
    void survey(std::span<const StatementNode* const> tops) {
        std::unordered_map<const StatementNode*, std::size_t> reached = reaches(tops);
        std::size_t taken_in = 0;
        std::vector<const StatementNode*> pending;
        for (const StatementNode* top : tops)
            if (!unit_ || reached[top] == 1 || within_.insert(top).second) pending.push_back(top);
        while (!pending.empty()) {
            const StatementNode* node = pending.back();
            pending.pop_back();
            for_each_child(*node, [&](const auto& child) {
                using Child = std::decay_t<decltype(child)>;
                if constexpr (std::is_same_v<Child, Expr>) {
                    roots_.push_back(&child.node());
                } else if constexpr (std::is_same_v<Child, Statement>) {
                    const StatementNode* inner = &child.node();
                    bool again = held_elsewhere(child) && reached[inner] > 1;
                    if (again && unit_) {
                        if (within_.insert(inner).second) pending.push_back(inner);
                    } else if (again || (held_elsewhere(child) && taken_in++ >= kMostHeldElsewhere)) {
                        separate_.insert(inner);
                    } else {
                        pending.push_back(inner);
                    }
                }
            });
        }
    }

    // How often the tree reaches each statement that other parents hold too,
    // counted up to twice: what lies below a second reach is not visited.
    // A unit's own statements count as held elsewhere.
    std::unordered_map<const StatementNode*, std::size_t> reaches(std::span<const StatementNode* const> tops) {
        std::unordered_map<const StatementNode*, std::size_t> reached;
        std::vector<const StatementNode*> pending;
        for (const StatementNode* top : tops)
            if (!unit_ || ++reached[top] == 1) pending.push_back(top);
        while (!pending.empty()) {
            const StatementNode* node = pending.back();
            pending.pop_back();
            for_each_child(*node, [&](const auto& child) {
                if constexpr (std::is_same_v<std::decay_t<decltype(child)>, Statement>) {
                    if (!held_elsewhere(child) || ++reached[&child.node()] == 1) pending.push_back(&child.node());
                }
            });
        }
        return reached;
    }

    // The inner nodes reached by more than one path. Only a node with more
    // than one handle can be one, so the others are never counted.
    void find_shared() {
        std::unordered_map<const ExprNode*, std::uint32_t> seen;
        std::vector<const ExprNode*> pending(roots_.begin(), roots_.end());
        while (!pending.empty()) {
            const ExprNode* node = pending.back();
            pending.pop_back();
            if (is_leaf(node->kind)) continue;
            if (node->refs.load(std::memory_order_relaxed) > 1 && ++seen[node] > 1) continue;
            for_each_operand(*node, [&](const ExprNode& operand) { pending.push_back(&operand); });
        }
        for (const auto& [node, count] : seen)
            if (count > 1) shared_.insert(node);
    }

    // ------------------------------------------------------- statements

    void statements(std::vector<Task> tasks) {
        while (!tasks.empty()) {
            Task task = tasks.back();
            tasks.pop_back();
            switch (task.kind) {
            case Task::Statement: statement(task, tasks); break;
            case Task::Otherwise: otherwise(task, tasks); break;
            case Task::End: aim(task.at); break;
            }
        }
    }

    void statement(const Task& task, std::vector<Task>& tasks) {
        const StatementNode& node = *task.node;
        code_->sites.push_back({static_cast<std::uint32_t>(code_->ops.size()), task.parent, task.branch, task.index});
        if (!task.body && separate_.contains(&node)) {
            emit({Op::Run, 0, 0, &node});
            return;
        }
        if (!task.body && within_.contains(&node)) return enter_within(node);
        switch (node.kind) {
        case CellKind::Let: return let(static_cast<const LetNode&>(node));
        case CellKind::Fn: emit(fn_instruction(node)); return;
        case CellKind::If: return branch(static_cast<const IfNode&>(node), tasks);
        default: return;  // expression and value cells never reach here
        }
    }

    // In a unit, an expression of numbers goes in one instruction, but for
    // `x = n + 1`, which reads an integer straight from its name.
    void let(const LetNode& let) {
        Instruction simple[2];
        std::size_t n = simple_let(let, simple);
        if ((n == 0 || simple[0].op != Op::LetArith) && unit_ && numbers(let.expr.node(), &let.ident)) return;
        if (n) {
            for (std::size_t i = 0; i < n; ++i) emit(simple[i]);
            return;
        }
        charged(let.expr.node(), 1);
        emit({Op::Let, 0, 0, &let});
    }

    // The instruction of an expression of numbers, where it is one: a
    // `let` of `target`, or else a branch. Its charge, the statement and
    // the nodes, fits `cost`. It points at its code by index until finish().
    bool numbers(const ExprNode& expression, const Name* target) {
        NumberCode code;
        if (!number_code(expression, shared_, code) || (!target && !code.compares())) return false;
        code.target = target;
        auto cost = static_cast<std::uint8_t>(1 + code.leaves + code.operations);
        auto index = reinterpret_cast<const void*>(code_->numbers.size());
        code_->numbers.push_back(code);
        emit({target ? Op::LetNumbers : Op::BranchNumbers, cost, 0, index});
        return true;
    }

    // The condition, then the then-list, which runs into the otherwise-list
    // unless a jump takes it past.
    void branch(const IfNode& node, std::vector<Task>& tasks) {
        const ExprNode& cond = node.cond.node();
        std::size_t at;
        std::int32_t literal;
        const Name* name = cond.kind != CellKind::BinaryOp ? name_and_small_integer(cond, literal) : nullptr;
        const Name* text = cond.kind == CellKind::Equals ? name_and_literal(cond, Kind::String) : nullptr;
        const Name* number = cond.kind != CellKind::BinaryOp ? name_and_literal(cond, Kind::Number) : nullptr;
        if (!name && unit_ && numbers(cond, nullptr)) {
            at = code_->ops.size() - 1;
        } else if (name || text || number) {
            Op op = name ? branch_on(cond.kind) : text ? Op::BranchText : Op::BranchNumber;
            at = emit({op, shallow_cost(cond), 0, name ? name : text ? text : number});
            emit({Op::Operand, 0, name ? literal : 0, &cond});
        } else if (is_shallow(cond)) {
            at = emit({Op::BranchShallow, shallow_cost(cond), 0, &node});
        } else {
            charged(cond, 1);
            at = emit({Op::Branch});
        }
        auto site = static_cast<std::int32_t>(code_->sites.size() - 1);
        tasks.push_back({Task::Otherwise, &node, at, site});
        push_reversed(node.then, site, FailureSite::Branch::Then, tasks);
    }

    void otherwise(const Task& task, std::vector<Task>& tasks) {
        auto& node = static_cast<const IfNode&>(*task.node);
        if (node.otherwise.empty()) return aim(task.at);
        tasks.push_back({Task::End, nullptr, emit({Op::Jump})});
        aim(task.at);
        push_reversed(node.otherwise, task.parent, FailureSite::Branch::Otherwise, tasks);
    }

    static void push_reversed(const Program& list, std::int32_t parent, FailureSite::Branch branch,
                              std::vector<Task>& tasks) {
        for (std::size_t i = list.size(); i-- > 0;)
            tasks.push_back({Task::Statement, &list[i].node(), 0, parent, branch, static_cast<std::uint32_t>(i)});
    }

    // Points the jump at `at` to the next instruction.
    void aim(std::size_t at) { code_->ops[at].arg = clamped(code_->ops.size() - at); }

    // ------------------------------------------------------ expressions

    // An expression with its charge in front: `statements` (1 for a
    // statement, 0 for a block or an expression alone) and its nodes, made
    // with the room for the values it holds at most.
    void charged(const ExprNode& expression, std::size_t statements) {
        std::size_t reserve = emit({Op::Reserve});
        auto [nodes, values] = inline_nodes(expression);
        code_->ops[reserve].charge = statements + nodes;
        code_->ops[reserve].arg = clamped(values);
        keep_repeated_names(reserve + 1);
    }

    // See kKeptNames: the right operands of the instructions from `from` on
    // that read a name read more than once become a first read that keeps
    // its integer and later reads that use it.
    void keep_repeated_names(std::size_t from) {
        std::span<Instruction> ops(code_->ops.begin() + static_cast<std::ptrdiff_t>(from), code_->ops.end());
        auto reads_name = [](const Instruction& in) { return in.op == Op::ArithLookup; };
        auto may_rebind = [](const Instruction& in) { return in.op == Op::Call || in.op == Op::Enter; };
        if (std::any_of(ops.begin(), ops.end(), may_rebind)) return;
        std::vector<std::pair<const Identifier*, std::size_t>> names;  // each name and its reads, in order
        auto entry = [&](const Instruction& in) {
            const Identifier& id = static_cast<const Name*>(in.ref)->id;
            auto at = std::find_if(names.begin(), names.end(), [&](const auto& name) { return *name.first == id; });
            if (at == names.end() && names.size() < kKeptNames) at = names.insert(names.end(), {&id, 0});
            return at;
        };
        for (const Instruction& in : ops)
            if (auto at = reads_name(in) ? entry(in) : names.end(); at != names.end()) ++at->second;
        std::vector<bool> kept(names.size());
        for (Instruction& in : ops) {
            auto at = reads_name(in) ? entry(in) : names.end();
            if (at == names.end() || at->second < 2) continue;
            auto slot = static_cast<std::size_t>(at - names.begin());
            in.cost = static_cast<std::uint8_t>(slot);
            in.op = kept[slot] ? Op::ArithKept : Op::ArithLookupKeep;
            kept[slot] = true;
        }
    }

    // Post-order with an explicit stack: a node goes out once its operands
    // have. Shared inner nodes are entered as blocks. Returns how many nodes
    // went out here, which is what their statement or block charges, and
    // the most values they hold at once.
    std::pair<std::size_t, std::size_t> inline_nodes(const ExprNode& top) {
        std::size_t nodes = 0, values = 0, most = 0;
        std::vector<std::pair<const ExprNode*, bool>> pending{{&top, false}};
        while (!pending.empty()) {
            auto [node, operands_done] = pending.back();
            pending.pop_back();
            if (node != &top && shared_.contains(node)) {
                enter(*node);
                most = std::max(most, ++values);
            } else if (operands_done || is_leaf(node->kind)) {
                emit(instruction_for(*node));
                ++nodes;
                values = values + 1 - operands_of(*node);
                most = std::max(most, values);
                fuse_right_leaf();
            } else {
                pending.push_back({node, true});
                std::size_t first = pending.size();
                for_each_operand(*node, [&](const ExprNode& operand) { pending.push_back({&operand, false}); });
                std::reverse(pending.begin() + first, pending.end());
            }
        }
        return {nodes, most};
    }

    static std::size_t operands_of(const ExprNode& node) {
        std::size_t count = 0;
        for_each_operand(node, [&](const ExprNode&) { ++count; });
        return count;
    }

    // `... a + 1`, `... a * x`: an arithmetic node whose right operand is a
    // leaf, just pushed, takes the leaf in itself. Half of the nodes of an
    // expression are leaves, and most of them stand right of an operator.
    void fuse_right_leaf() {
        std::vector<Instruction>& ops = code_->ops;
        if (ops.size() < 2 || ops.back().op != Op::Arith) return;
        Instruction& leaf = ops[ops.size() - 2];
        auto& pair = *static_cast<const PairNode*>(ops.back().ref);
        bool literal = leaf.op == Op::Literal || leaf.op == Op::SmallInt;
        bool right_is_that_leaf = (literal && pair.right.kind() == CellKind::Literal) ||
                                  (leaf.op == Op::Lookup && pair.right.kind() == CellKind::Ident);
        if (!right_is_that_leaf || shared_.contains(&pair.right.node())) return;
        leaf.op = literal ? Op::ArithLiteral : Op::ArithLookup;
        leaf.arg = ops.back().arg;
        ops.pop_back();
    }

    void enter(const ExprNode& node) {
        entries_.push_back({emit({Op::Enter}), &node});
        if (blocks_.try_emplace(&node, 0).second) queued_.push_back(&node);
    }

    void enter_within(const StatementNode& node) {
        within_entries_.push_back({emit({Op::Within}), &node});
        if (within_starts_.try_emplace(&node, 0).second) queued_within_.push_back(&node);
    }

    // The statements entered Within and the blocks go after the form's last
    // Return, each ending with a Return of its own; a block charges its own
    // nodes. A statement's sites come in order, and blocks have none.
    std::unique_ptr<Code> finish() {
        emit({Op::Return});
        while (!queued_within_.empty() || !queued_.empty()) {
            if (!queued_within_.empty()) {
                const StatementNode* node = queued_within_.back();
                queued_within_.pop_back();
                within_starts_[node] = code_->ops.size();
                statements({{Task::Statement, node, 0, -1, FailureSite::Branch::Top, 0, true}});
            } else {
                const ExprNode* node = queued_.back();
                queued_.pop_back();
                blocks_[node] = code_->ops.size();
                charged(*node, 0);
            }
            emit({Op::Return});
        }
        for (auto [at, node] : entries_) code_->ops[at].arg = distance(at, blocks_[node]);
        for (auto [at, node] : within_entries_) code_->ops[at].arg = distance(at, within_starts_[node]);
        for (Instruction& in : code_->ops)
            if (in.op == Op::LetNumbers || in.op == Op::BranchNumbers)
                in.ref = &code_->numbers[reinterpret_cast<std::size_t>(in.ref)];
        return std::move(code_);
    }

    std::size_t emit(Instruction instruction) {
        code_->ops.push_back(instruction);
        return code_->ops.size() - 1;
    }

    bool unit_ = false;  // compiling a unit (unit.hpp)
    std::vector<const ExprNode*> roots_;
    std::unordered_set<const StatementNode*> separate_;
    std::unordered_set<const StatementNode*> within_;  // a unit's statements reached more than once
    std::unordered_map<const StatementNode*, std::size_t> within_starts_;
    std::vector<const StatementNode*> queued_within_;
    std::vector<std::pair<std::size_t, const StatementNode*>> within_entries_;
    std::unordered_set<const ExprNode*> shared_;
    std::unordered_map<const ExprNode*, std::size_t> blocks_;  // where each block starts
    std::vector<const ExprNode*> queued_;                       // blocks still to compile
    std::vector<std::pair<std::size_t, const ExprNode*>> entries_;
    std::unique_ptr<Code> code_ = std::make_unique<Code>();
};

// Each name that a unit binds or reads gets a slot, the same for every
// place the name stands.
class Slots {
public:
    std::uint16_t of(const Identifier& id) {
        std::uint32_t next = static_cast<std::uint32_t>(texts_.size() + numbers_.size());
        std::uint32_t slot = id.is_u() ? numbers_.try_emplace(id.u(), next).first->second
                                       : texts_.try_emplace(id.s(), next).first->second;
        return static_cast<std::uint16_t>(slot);
    }
    std::size_t count() const noexcept { return texts_.size() + numbers_.size(); }

private:
    std::unordered_map<std::string_view, std::uint32_t> texts_;  // of the tree's names, which outlive this
    std::unordered_map<std::uint64_t, std::uint32_t> numbers_;
};

const Name& let_name(const Instruction& in) noexcept { return static_cast<const LetNode*>(in.ref)->ident; }
const Name& ref_name(const Instruction& in) noexcept { return *static_cast<const Name*>(in.ref); }

// The slot variant of an instruction that binds a name, or reads one in
// the common cases, and that name; null for any other instruction.
const Name* slot_variant(const Instruction& in, Op& variant) noexcept {
    switch (in.op) {
    case Op::Let: return variant = Op::LetSlot, &let_name(in);
    case Op::LetLiteral: return variant = Op::LetLiteralSlot, &let_name(in);
    case Op::LetShallow: return variant = Op::LetShallowSlot, &let_name(in);
    case Op::LetCall: return variant = Op::LetCallSlot, &let_name(in);
    case Op::Append: return variant = Op::AppendSlot, &let_name(in);
    case Op::Fn: return variant = Op::FnSlot, &static_cast<const FnNode*>(in.ref)->ident;
    case Op::LetArith:
        variant = static_cast<Operator>(in.arg) == Operator::Add ? Op::LetAddSlot : Op::LetArithSlot;
        return &ref_name(in);
    case Op::LetArithNumber: return variant = Op::LetArithNumberSlot, &ref_name(in);
    case Op::Lookup: return variant = Op::LookupSlot, &ref_name(in);
    case Op::ArithLookup: return variant = Op::ArithLookupSlot, &ref_name(in);
    case Op::Call: return variant = Op::CallSlot, &static_cast<const CallNode*>(in.ref)->ident;
    case Op::BranchLess: return variant = Op::BranchLessSlot, &ref_name(in);
    case Op::BranchGreater: return variant = Op::BranchGreaterSlot, &ref_name(in);
    case Op::BranchEqual: return variant = Op::BranchEqualSlot, &ref_name(in);
    case Op::BranchNumber: return variant = Op::BranchNumberSlot, &ref_name(in);
    case Op::BranchText: return variant = Op::BranchTextSlot, &ref_name(in);
    default: return nullptr;
    }
}

// Turns the unit's instructions into their slot variants; false when it
// has more names than a slot can tell apart.
bool give_slots(Unit& unit) {
    Slots slots;
    std::vector<Instruction>& ops = unit.code.ops;
    for (NumberCode& code : unit.code.numbers) {
        for (std::size_t i = 0; i < code.leaves; ++i)
            if (code.leaf[i].name) code.leaf[i].slot = slots.of(code.leaf[i].name->id);
    }
    for (std::size_t i = 0; i < ops.size(); ++i) {
        if (ops[i].op == Op::LetNumbers) ops[i].slot = slots.of(static_cast<const NumberCode*>(ops[i].ref)->target->id);
        Op variant;
        const Name* name = slot_variant(ops[i], variant);
        if (!name) continue;
        ops[i].op = variant;
        ops[i].slot = slots.of(name->id);
        if (variant == Op::LetArithSlot || variant == Op::LetAddSlot || variant == Op::LetArithNumberSlot) {
            ++i;  // the Operand, with the name bound
            ops[i].slot = slots.of(let_name(ops[i]).id);
        }
    }
    unit.slots = static_cast<std::uint32_t>(slots.count());
    return slots.count() <= std::numeric_limits<std::uint16_t>::max() + std::size_t{1};
}

}  // namespace

void append_site(const Code& code, std::size_t op, bool with_root, std::vector<FailureSite::Step>& steps) {
    auto after = std::upper_bound(code.sites.begin(), code.sites.end(), op,
                                  [](std::size_t at, const Site& site) { return at < site.start; });
    if (after == code.sites.begin()) return;
    std::size_t first = steps.size();
    for (auto at = static_cast<std::int32_t>(after - code.sites.begin() - 1); at >= 0; at = code.sites[at].parent) {
        const Site& site = code.sites[static_cast<std::size_t>(at)];
        if (site.parent >= 0 || with_root) steps.push_back({site.branch, site.index});
    }
    std::reverse(steps.begin() + static_cast<std::ptrdiff_t>(first), steps.end());
}

bool simple_form(const StatementNode& statement, SimpleForm& out) noexcept {
    std::size_t n = 0;
    if (statement.kind == CellKind::Let)
        n = simple_let(static_cast<const LetNode&>(statement), out.data());
    else if (statement.kind == CellKind::Fn)
        out[n++] = fn_instruction(statement);
    if (n == 0) return false;
    out[n] = {Op::Return};
    return true;
}

bool is_shallow(const ExprNode& node) noexcept {
    if (is_leaf(node.kind)) return true;
    if (node.kind == CellKind::Call) return is_leaf(static_cast<const CallNode&>(node).arg.kind());
    if (!is_pair(node.kind)) return false;
    auto& pair = static_cast<const PairNode&>(node);
    return is_leaf(pair.left.kind()) && is_leaf(pair.right.kind());
}

std::unique_ptr<Code> compile(const StatementNode& statement) { return Compiler().statement(statement); }

std::unique_ptr<Code> compile(const ExprNode& expression) { return Compiler().expression(expression); }

std::unique_ptr<Unit> compile(std::span<const Statement* const> program) {
    static std::atomic<std::uint64_t> units{0};
    auto unit = std::make_unique<Unit>();
    std::vector<const StatementNode*> nodes;
    for (const Statement* statement : program) {
        nodes.push_back(&statement->node());
        unit->program.push_back(statement->serial());
    }
    unit->code = std::move(*Compiler().unit(nodes));
    unit->whole = give_slots(*unit);
    unit->serial = units.fetch_add(1, std::memory_order_relaxed) + 1;
    return unit;
}

const Code* CodeSlot::store(std::unique_ptr<Code> made) const noexcept {
    const Code* expected = nullptr;
    if (code_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release();
    return expected;
}

}  // namespace quarn::detail
