#include "arrow_reader.hpp"

#include "strided.hpp"
#include "utf8_check.hpp"

namespace velmo::tables {
namespace {

quarn::Value unsigned64(std::uint64_t n) {
    if (n <= static_cast<std::uint64_t>(INT64_MAX)) return quarn::Value::integer(static_cast<std::int64_t>(n));
    return quarn::Value::real(static_cast<double>(n));
}

}  // namespace

ArrowReader::ArrowReader(const ArrayView& view) : view_(view) {
    if (view.dictionary) {
        inner_ = std::make_unique<ArrowReader>(*view.dictionary);
        entries_.resize(static_cast<std::size_t>(view.dictionary->length));
    } else if (!view.children.empty() && view.type->kind != ArrowKind::Struct) {
        inner_ = std::make_unique<ArrowReader>(view.children[0]);
    }
}

// A dictionary's value: its entry for the row's index.
quarn::Value ArrowReader::coded(std::int64_t at) {
    const void* values = view_.values;
    switch (view_.type->kind) {
    case ArrowKind::Int8: return entry(static_cast<std::uint64_t>(load<std::int8_t>(values, at)));
    case ArrowKind::Int16: return entry(static_cast<std::uint64_t>(load<std::int16_t>(values, at)));
    case ArrowKind::Int32: return entry(static_cast<std::uint64_t>(load<std::int32_t>(values, at)));
    case ArrowKind::Int64: return entry(static_cast<std::uint64_t>(load<std::int64_t>(values, at)));
    case ArrowKind::UInt8: return entry(load<std::uint8_t>(values, at));
    case ArrowKind::UInt16: return entry(load<std::uint16_t>(values, at));
    case ArrowKind::UInt32: return entry(load<std::uint32_t>(values, at));
    default: return entry(load<std::uint64_t>(values, at));
    }
}

quarn::Value ArrowReader::other(std::int64_t at) {
    if (view_.dictionary) return coded(at);
    const void* values = view_.values;
    switch (view_.type->kind) {
    case ArrowKind::Null: return quarn::Value();
    case ArrowKind::Boolean: return quarn::Value::boolean(bit(values, at));
    case ArrowKind::Int8: return quarn::Value::integer(load<std::int8_t>(values, at));
    case ArrowKind::Int16: return quarn::Value::integer(load<std::int16_t>(values, at));
    case ArrowKind::Int32: return quarn::Value::integer(load<std::int32_t>(values, at));
    case ArrowKind::UInt8: return quarn::Value::integer(load<std::uint8_t>(values, at));
    case ArrowKind::UInt16: return quarn::Value::integer(load<std::uint16_t>(values, at));
    case ArrowKind::UInt32: return quarn::Value::integer(load<std::uint32_t>(values, at));
    case ArrowKind::UInt64: return unsigned64(load<std::uint64_t>(values, at));
    case ArrowKind::Float16: return quarn::Value::real(widen_half(load<std::uint16_t>(values, at)));
    case ArrowKind::Float32: return quarn::Value::real(load<float>(values, at));
    case ArrowKind::Utf8: return text_between(load<std::int32_t>(values, at), load<std::int32_t>(values, at + 1));
    case ArrowKind::LargeUtf8: return text_between(load<std::int64_t>(values, at), load<std::int64_t>(values, at + 1));
    case ArrowKind::Utf8View: return view_text(at);
    case ArrowKind::List: return items<std::int32_t>(at);
    case ArrowKind::LargeList: return items<std::int64_t>(at);
    case ArrowKind::Int64: return quarn::Value::integer(load<std::int64_t>(values, at));
    default: return quarn::Value::real(load<double>(values, at));
    }
}

// An empty text may have no data buffer to point into.
quarn::Value ArrowReader::text_between(std::int64_t from, std::int64_t to) {
    if (from == to) return text({});
    return text({view_.data + from, static_cast<std::size_t>(to - from)});
}

quarn::Value ArrowReader::text(std::string_view bytes) {
    if (const quarn::Value* known = recent_.find(bytes)) return *known;
    if (!is_utf8(bytes)) throw BadText{std::string(bytes)};
    quarn::Value made = quarn::Value::string(bytes);
    recent_.keep(made);
    return made;
}

// A view of twelve bytes or fewer holds them; a longer one names where they are.
quarn::Value ArrowReader::view_text(std::int64_t at) {
    const char* view = static_cast<const char*>(view_.values) + at * 16;
    auto length = static_cast<std::size_t>(load<std::int32_t>(view, 0));
    if (length <= 12) return text({view + 4, length});
    std::int32_t buffer = load<std::int32_t>(view + 8, 0), offset = load<std::int32_t>(view + 12, 0);
    return text({view_.view_data[static_cast<std::size_t>(buffer)] + offset, length});
}

quarn::Value ArrowReader::entry(std::uint64_t code) {
    std::optional<quarn::Value>& kept = entries_[code];
    if (!kept) kept = inner_->value(static_cast<std::int64_t>(code));
    return *kept;
}

template <class Offset>
quarn::Value ArrowReader::items(std::int64_t at) {
    auto from = static_cast<std::int64_t>(load<Offset>(view_.values, at));
    auto to = static_cast<std::int64_t>(load<Offset>(view_.values, at + 1));
    std::vector<quarn::Value> items;
    items.reserve(static_cast<std::size_t>(to - from));
    for (std::int64_t i = from; i < to; ++i) items.push_back(inner_->value(i));
    return quarn::Value::vector(items);
}

}  // namespace velmo::tables
