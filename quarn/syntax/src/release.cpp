// The one way counted objects are destroyed. Destroying an object lets go of
// the handles it holds, and a child whose count then reaches zero must be
// destroyed too. Doing that by recursion would overflow the machine stack on
// a deep tree or a deeply nested vector, so the children are instead linked
// into a list through their dead count words and destroyed in a loop. Nothing
// is allocated on the way.

#include "allocation.hpp"
#include "children.hpp"
#include "quarn/host_turns.hpp"
#include "quarn/tree.hpp"

namespace quarn::detail {

class Releaser {
public:
    static void run(Counted* first) noexcept {
        Releaser list;
        list.push(first);
        while (Counted* object = list.pop()) {
            list.drop_children(object);
            destroy_counted(object);
        }
    }

private:
    void push(Counted* object) noexcept {
        object->refs.store(reinterpret_cast<std::uintptr_t>(head_), std::memory_order_relaxed);
        head_ = object;
    }
    Counted* pop() noexcept {
        Counted* object = head_;
        if (object) head_ = reinterpret_cast<Counted*>(object->refs.load(std::memory_order_relaxed));
        return object;
    }

    void drop(Counted* child) noexcept {
        if (child && child->drop()) push(child);
    }
    void drop(Value& value) noexcept { drop(value.take_cell()); }
    void drop(Expr& expr) noexcept { drop(expr.ref_.take()); }
    void drop(Statement& statement) noexcept { drop(statement.ref_.take()); }

    // Empties every handle the object holds, so that its destructor has no
    // count left to change. They are listed last to first, so that the
    // first is destroyed first, as a recursive release would.
    void drop_children(Counted* object) noexcept {
        for_each_child<Order::Reverse>(*object, [this](auto& handle) { drop(handle); });
    }

    Counted* head_ = nullptr;
};

namespace {

template <class T>
void destroy_as(Counted* object, std::size_t extra = 0) noexcept {
    auto* typed = static_cast<T*>(object);
    typed->~T();
    pool::release(typed, sizeof(T) + extra);
}

template <class T, class Item>
void destroy_with_items(Counted* object) noexcept {
    auto* typed = static_cast<T*>(object);
    for (std::size_t i = 0; i < typed->count; ++i) typed->items()[i].~Item();
    destroy_as<T>(object, typed->count * sizeof(Item));
}

}  // namespace

// A function's release lets go of its host's object, which may run the
// host's code (host_turns.hpp).
void destroy_counted(Counted* object) noexcept {
    switch (object->kind) {
    case CellKind::String: return destroy_as<TextCell>(object, static_cast<TextCell*>(object)->capacity);
    case CellKind::Vector: return destroy_with_items<ItemsCell, Value>(object);
    case CellKind::Function: return host_turn(), destroy_as<FunctionCell>(object);
    case CellKind::Literal: return destroy_as<LiteralNode>(object);
    case CellKind::Ident: return destroy_as<IdentNode>(object);
    case CellKind::BinaryOp:
    case CellKind::Equals:
    case CellKind::GreaterThan:
    case CellKind::LessThan: return destroy_as<PairNode>(object);
    case CellKind::Not: return destroy_as<NotNode>(object);
    case CellKind::Call: return destroy_as<CallNode>(object);
    case CellKind::VectorExpr: return destroy_with_items<VectorNode, Expr>(object);
    case CellKind::Let: return destroy_as<LetNode>(object);
    case CellKind::If: return destroy_as<IfNode>(object);
    case CellKind::Fn: return host_turn(), destroy_as<FnNode>(object);
    }
}

void release(Counted* object) noexcept { Releaser::run(object); }

}  // namespace quarn::detail
