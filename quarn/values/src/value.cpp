#include "quarn/value.hpp"

#include <cstring>

#include "allocation.hpp"
#include "quarn/meter.hpp"

namespace quarn {

// A vector of two fits the pool's small block (pool.hpp).
static_assert(sizeof(detail::ItemsCell) + 2 * sizeof(Value) <= pool::kSmallBlock);

Value Value::string(std::string_view text) { return concat(text, {}); }

namespace {

void copy_text(char* to, std::string_view from) {
    in_stretches(from.size(), [&](std::size_t at, std::size_t n) {
        std::memcpy(to + at, from.data() + at, n);
        return true;
    });
}

}  // namespace

// The new value owns the cell before the bytes go in: an interruption while
// a long text is copied frees it.
Value Value::concat(std::string_view left, std::string_view right) {
    std::size_t size = left.size() + right.size();
    auto* cell = detail::make_counted<detail::TextCell>(size, size, size);
    Value text(Tag::String, cell);
    copy_text(cell->data(), left);
    copy_text(cell->data() + left.size(), right);
    return text;
}

void Value::grow_text(std::size_t size) {
    auto* text = static_cast<detail::TextCell*>(cell());
    auto* grown = detail::make_counted<detail::TextCell>(2 * size, text->size, 2 * size);
    std::memcpy(grown->data(), text->data(), text->size);  // no stretches: the caller holds a lock
    detail::drop_ref(text);  // the other handle, if any, keeps it
    word_ = reinterpret_cast<std::uintptr_t>(grown);
}

std::uint64_t Value::vector_size(std::span<const Value> items) noexcept {
    std::uint64_t size = 1;
    for (const Value& item : items) {
        std::uint64_t more = item.size();
        size = more > kMaxSize - size ? kMaxSize : size + more;
    }
    return size;
}

Value Value::vector(std::span<Value> items) {
    auto* cell = detail::make_counted<detail::ItemsCell>(items.size() * sizeof(Value), items.size(),
                                                         vector_size(items));
    Value* slots = cell->items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].reaches_function()) cell->flags |= detail::kReachesFunction;
        new (slots + i) Value(std::move(items[i]));
    }
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
