#include "quarn/owned_functions.hpp"

#include <type_traits>

#include "children.hpp"

namespace quarn {
namespace {

using namespace detail;

// A cell or node reached only through the handle that led here.
bool owned_and_reaching(const Counted* object) noexcept {
    return object && (object->flags & kReachesFunction) && object->refs.load(std::memory_order_relaxed) == 1;
}

template <class Handle>
const Counted* object_of(const Handle& handle) noexcept {
    if constexpr (std::is_same_v<Handle, Value>) {
        return handle.reaches_function() ? handle.cell_pointer() : nullptr;
    } else {
        return &handle.node();
    }
}

int walk(const Counted* root, FunctionVisit visit, void* context) {
    std::vector<const Counted*> pending;
    if (owned_and_reaching(root)) pending.push_back(root);
    while (!pending.empty()) {
        const Counted* object = pending.back();
        pending.pop_back();
        if (object->kind == CellKind::Function) {
            if (int stop = visit(*static_cast<const FunctionCell*>(object)->f, context)) return stop;
        } else if (object->kind == CellKind::Fn) {
            if (int stop = visit(*static_cast<const FnNode*>(object)->f, context)) return stop;
        }
        for_each_child(*object, [&](const auto& child) {
            const Counted* inner = object_of(child);
            if (owned_and_reaching(inner)) pending.push_back(inner);
        });
    }
    return 0;
}

}  // namespace

int visit_owned_functions(const Value& value, FunctionVisit visit, void* context) {
    return walk(object_of(value), visit, context);
}

int visit_owned_functions(const Expr& tree, FunctionVisit visit, void* context) {
    return walk(&tree.node(), visit, context);
}

int visit_owned_functions(const Statement& tree, FunctionVisit visit, void* context) {
    return walk(&tree.node(), visit, context);
}

}  // namespace quarn
