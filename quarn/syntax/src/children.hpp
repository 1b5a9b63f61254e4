#pragma once
// The one list of what each kind of counted object holds: a vector its
// items; a node its operands, its literal value, its statements. Releasing,
// compiling and marking what reaches a function all walk objects through
// here, so a new kind of node is one edit.

#include <type_traits>

#include "quarn/tree.hpp"

namespace quarn::detail {

enum class Order { Forward, Reverse };

namespace children {

// `object` as the type its kind says, as const as `object` itself.
template <class T, class Object>
auto& as(Object& object) noexcept {
    constexpr bool kConst = std::is_const_v<Object>;
    using Base = std::conditional_t<kConst, const Counted, Counted>;
    using Target = std::conditional_t<kConst, const T, T>;
    return static_cast<Target&>(static_cast<Base&>(object));
}

template <Order order, class Item, class Visit>
void each(Item* items, std::size_t count, Visit& visit) {
    if constexpr (order == Order::Forward) {
        for (std::size_t i = 0; i < count; ++i) visit(items[i]);
    } else {
        for (std::size_t i = count; i-- > 0;) visit(items[i]);
    }
}

template <Order order, class First, class Second, class Visit>
void both(First& first, Second& second, Visit& visit) {
    if constexpr (order == Order::Forward) {
        visit(first);
        visit(second);
    } else {
        visit(second);
        visit(first);
    }
}

template <Order order, class Object, class Visit>
void of_if(Object& object, Visit& visit) {
    auto& branch = as<IfNode>(object);
    auto lists = [&](auto& list) { each<order>(list.data(), list.size(), visit); };
    if constexpr (order == Order::Forward) {
        visit(branch.cond);
        lists(branch.then);
        lists(branch.otherwise);
    } else {
        lists(branch.otherwise);
        lists(branch.then);
        visit(branch.cond);
    }
}

}  // namespace children

// Calls `visit` on each handle the object holds: a Value, an Expr or a
// Statement, in the order the object lists them (a node's operands left
// before right; an if's condition, then its two lists), or the reverse.
template <Order order = Order::Forward, class Object, class Visit>
void for_each_child(Object& object, Visit&& visit) {
    using children::as;
    switch (object.kind) {
    case CellKind::String:
    case CellKind::Function:
    case CellKind::Ident:
    case CellKind::Fn: return;
    case CellKind::Vector: {
        auto& vector = as<ItemsCell>(object);
        return children::each<order>(vector.items(), vector.count, visit);
    }
    case CellKind::Literal: return visit(as<LiteralNode>(object).value);
    case CellKind::BinaryOp:
    case CellKind::Equals:
    case CellKind::GreaterThan:
    case CellKind::LessThan: {
        auto& pair = as<PairNode>(object);
        return children::both<order>(pair.left, pair.right, visit);
    }
    case CellKind::Not: return visit(as<NotNode>(object).item);
    case CellKind::Call: return visit(as<CallNode>(object).arg);
    case CellKind::VectorExpr: {
        auto& vector = as<VectorNode>(object);
        return children::each<order>(vector.items(), vector.count, visit);
    }
    case CellKind::Let: return visit(as<LetNode>(object).expr);
    case CellKind::If: return children::of_if<order>(object, visit);
    }
}

}  // namespace quarn::detail
