#include "quarn/value.hpp"

#include <cstring>

#include "allocation.hpp"

namespace quarn {

Value Value::string(std::string_view text) { return concat(text, {}); }

Value Value::concat(std::string_view left, std::string_view right) {
    std::size_t size = left.size() + right.size();
    auto* cell = detail::make_counted<detail::TextCell>(size, size);
    if (!left.empty()) std::memcpy(cell->data(), left.data(), left.size());
    if (!right.empty()) std::memcpy(cell->data() + left.size(), right.data(), right.size());
    return Value(Tag::String, cell);
}

Value Value::vector(std::span<Value> items) {
    auto* cell = detail::make_counted<detail::ItemsCell>(items.size() * sizeof(Value), items.size());
    Value* slots = cell->items();
    for (std::size_t i = 0; i < items.size(); ++i) new (slots + i) Value(std::move(items[i]));
    return Value(Tag::Vector, cell);
}

Value Value::function(std::unique_ptr<QuarnFunction> f) {
    return Value(Tag::Function, detail::make_counted<detail::FunctionCell>(0, std::move(f)));
}

std::size_t Value::use_count() const noexcept {
    return is_shared() ? cell()->refs.load(std::memory_order_relaxed) : 0;
}

detail::Counted* Value::take_cell() noexcept {
    if (!is_shared()) return nullptr;
    tag_ = Tag::Null;
    return cell();
}

}  // namespace quarn
