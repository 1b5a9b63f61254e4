#pragma once
// The values of a checked Arrow array (arrow_view.hpp), one at a time, as
// the equivalent Python values would bind: booleans, integers (a uint64
// past the int64 range as the nearest float, as a Python int of that size
// converts), floats (float16 and float32 widened exactly), texts, a null as
// Null, a list as a vector. Numbers are read in place; a dictionary's
// entries become values once each, the first time a row uses them; a plain
// text column keeps the values of its last few distinct texts. A text that
// is not UTF-8 is refused (BadText) when it is read.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_view.hpp"
#include "plain_numbers.hpp"
#include "recent_texts.hpp"
#include "quarn/value.hpp"

namespace velmo::tables {

// A text of a producer that is not UTF-8: its bytes, for the error.
struct BadText {
    std::string bytes;
};

class ArrowReader {
public:
    // The view outlives the reader.
    explicit ArrowReader(const ArrayView& view);

    // Value i, counted from the view's start.
    quarn::Value value(std::int64_t i) {
        if (view_.is_null(i)) return quarn::Value();
        std::int64_t at = view_.offset + i;
        switch (view_.type->kind) {
        case ArrowKind::Float64: return quarn::Value::real(load<double>(view_.values, at));
        case ArrowKind::Int64: return quarn::Value::integer(load<std::int64_t>(view_.values, at));
        default: return other(at);
        }
    }

    // Values from i on, counted from the view's start, when they are plain.
    PlainNumbers plain(std::int64_t i) const noexcept {
        bool integers = view_.type->kind == ArrowKind::Int64;
        if (view_.validity || view_.dictionary || (!integers && view_.type->kind != ArrowKind::Float64)) return {};
        return {static_cast<const char*>(view_.values) + (view_.offset + i) * 8, 8, integers};
    }

    // Whether its values are all utf8 texts, none null, read by utf8().
    bool plain_texts() const noexcept {
        return !view_.validity && !view_.dictionary && view_.type->kind == ArrowKind::Utf8;
    }
    // Value i, counted from the view's start, of a reader of plain texts: a
    // text seen lately, the common one, with no call.
    quarn::Value utf8(std::int64_t i) {
        std::int64_t at = view_.offset + i;
        auto from = load<std::int32_t>(view_.values, at), to = load<std::int32_t>(view_.values, at + 1);
        if (from == to) return text({});
        std::string_view bytes(view_.data + from, static_cast<std::size_t>(to - from));
        if (const quarn::Value* known = recent_.find(bytes)) return *known;
        return text(bytes);
    }

private:
    quarn::Value other(std::int64_t at);
    quarn::Value coded(std::int64_t at);
    quarn::Value text(std::string_view bytes);
    quarn::Value text_between(std::int64_t from, std::int64_t to);
    quarn::Value view_text(std::int64_t at);
    quarn::Value entry(std::uint64_t code);
    template <class Offset>
    quarn::Value items(std::int64_t at);

    const ArrayView& view_;
    std::unique_ptr<ArrowReader> inner_;  // of a list's items, or a dictionary's values
    std::vector<std::optional<quarn::Value>> entries_;  // a dictionary's, as they are first used
    RecentTexts recent_;
};

}  // namespace velmo::tables
