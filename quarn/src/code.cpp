#include "code.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace quarn::detail {
namespace {

bool is_leaf(const ExprNode& node) { return node.kind == CellKind::Literal || node.kind == CellKind::Ident; }

// The operands of a node, first to last.
template <class Visit>
void for_each_operand(const ExprNode& node, Visit&& visit) {
    switch (node.kind) {
    case CellKind::BinaryOp:
    case CellKind::Equals:
    case CellKind::GreaterThan:
    case CellKind::LessThan: {
        auto& pair = static_cast<const PairNode&>(node);
        visit(pair.left.node());
        return visit(pair.right.node());
    }
    case CellKind::Not: return visit(static_cast<const NotNode&>(node).item.node());
    case CellKind::Call: return visit(static_cast<const CallNode&>(node).arg.node());
    case CellKind::VectorExpr: {
        auto& vector = static_cast<const VectorNode&>(node);
        for (std::size_t i = 0; i < vector.count; ++i) visit(vector.items()[i].node());
        return;
    }
    default: return;
    }
}

// The inner nodes the tree reaches by more than one path. Only a node with
// more than one handle can be one, so the others are never looked up.
std::unordered_map<const ExprNode*, std::uint32_t> shared_nodes(const ExprNode& root) {
    std::unordered_map<const ExprNode*, std::uint32_t> seen;
    std::vector<const ExprNode*> pending{&root};
    while (!pending.empty()) {
        const ExprNode* node = pending.back();
        pending.pop_back();
        if (is_leaf(*node)) continue;
        if (node->refs.load(std::memory_order_relaxed) > 1 && ++seen[node] > 1) continue;
        for_each_operand(*node, [&](const ExprNode& operand) { pending.push_back(&operand); });
    }
    std::erase_if(seen, [](const auto& entry) { return entry.second < 2; });
    return seen;
}

Instruction instruction_for(const ExprNode& node) {
    switch (node.kind) {
    case CellKind::Literal: return {Op::Literal, 0, &static_cast<const LiteralNode&>(node).value};
    case CellKind::Ident: return {Op::Lookup, 0, &static_cast<const IdentNode&>(node).id};
    case CellKind::Not: return {Op::Not, 0, &node};
    case CellKind::Call: return {Op::Call, 0, &node};
    case CellKind::VectorExpr:
        return {Op::Vector, static_cast<std::uint32_t>(static_cast<const VectorNode&>(node).count), &node};
    default: break;
    }
    auto& pair = static_cast<const PairNode&>(node);
    if (pair.kind == CellKind::BinaryOp && pair.op != Operator::Div)
        return {Op::Arith, static_cast<std::uint32_t>(pair.op), &node};
    return {Op::Pair, 0, &node};
}

class Compiler {
public:
    explicit Compiler(const ExprNode& root) : shared_(shared_nodes(root)) {
        block_of(root);
        while (!todo_.empty()) {
            auto [node, block] = todo_.back();
            todo_.pop_back();
            emit(*node, block);
        }
    }

    std::unique_ptr<Code> take() { return std::move(code_); }

private:
    // The block a node is flattened into, made and queued on first need.
    std::uint32_t block_of(const ExprNode& node) {
        auto [it, added] = blocks_.try_emplace(&node, static_cast<std::uint32_t>(code_->blocks.size()));
        if (added) {
            code_->blocks.emplace_back();
            todo_.push_back({&node, it->second});
        }
        return it->second;
    }

    // Post-order with an explicit stack: a node goes out once its operands have.
    void emit(const ExprNode& top, std::uint32_t block) {
        std::vector<std::pair<const ExprNode*, bool>> pending{{&top, false}};
        while (!pending.empty()) {
            auto [node, operands_done] = pending.back();
            pending.pop_back();
            if (node != &top && shared_.contains(node)) {
                std::uint32_t inner = block_of(*node);  // may add a block: look up `block` after
                code_->blocks[block].push_back({Op::Block, inner, nullptr});
            } else if (operands_done || is_leaf(*node)) {
                code_->blocks[block].push_back(instruction_for(*node));
            } else {
                pending.push_back({node, true});
                std::size_t first = pending.size();
                for_each_operand(*node, [&](const ExprNode& operand) { pending.push_back({&operand, false}); });
                std::reverse(pending.begin() + first, pending.end());
            }
        }
    }

    std::unordered_map<const ExprNode*, std::uint32_t> shared_;
    std::unordered_map<const ExprNode*, std::uint32_t> blocks_;
    std::vector<std::pair<const ExprNode*, std::uint32_t>> todo_;
    std::unique_ptr<Code> code_ = std::make_unique<Code>();
};

}  // namespace

std::unique_ptr<Code> compile(const ExprNode& root) { return Compiler(root).take(); }

}  // namespace quarn::detail

namespace quarn::detail {

CodeSlot::~CodeSlot() { delete code_.load(std::memory_order_relaxed); }

const Code* CodeSlot::store(std::unique_ptr<Code> made) const noexcept {
    const Code* expected = nullptr;
    if (code_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release();
    return expected;
}

}  // namespace quarn::detail
