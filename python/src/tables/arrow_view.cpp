#include "arrow_view.hpp"

#include <string>

namespace velmo::tables {
namespace {

// An array of this many elements or more could not be held in memory: its
// length, with the offset, is refused before anything is multiplied by it.
constexpr std::int64_t kMaxLength = std::int64_t{1} << 47;

[[noreturn]] void bad(const std::string& why) { throw BadArrow("the array " + why); }

std::string count(std::int64_t n) { return std::to_string(n); }

std::int64_t buffers_of(ArrowKind kind) {
    switch (kind) {
    case ArrowKind::Null: return 0;
    case ArrowKind::Struct: return 1;
    case ArrowKind::Utf8:
    case ArrowKind::LargeUtf8: return 3;
    default: return 2;
    }
}

void check_counts(const ArrowArray& array, const ArrowType& type) {
    if (array.length < 0) bad("has a negative length, " + count(array.length));
    if (array.offset < 0) bad("has a negative offset, " + count(array.offset));
    if (array.length >= kMaxLength || array.offset >= kMaxLength - array.length)
        bad("has a length of " + count(array.length) + " past an offset of " + count(array.offset) +
            ", more than memory holds");
    if (array.null_count < -1 || array.null_count > array.length)
        bad("has a null count of " + count(array.null_count) + " for a length of " + count(array.length));
    bool view = type.kind == ArrowKind::Utf8View && !type.dictionary;
    std::int64_t needed = view ? 3 : buffers_of(type.kind);
    if (view ? array.n_buffers < needed : array.n_buffers != needed)
        bad("has " + count(array.n_buffers) + " buffers where its type " + type.name + " has " + count(needed));
    if (array.n_buffers > 0 && !array.buffers) bad("has no buffers where it counts " + count(array.n_buffers));
    std::int64_t children = static_cast<std::int64_t>(type.children.size());
    if (array.n_children != children)
        bad("has " + count(array.n_children) + " children where its type " + type.name + " has " + count(children));
    if (children > 0 && !array.children) bad("has no children where it counts " + count(children));
    for (std::int64_t i = 0; i < children; ++i)
        if (!array.children[i]) bad("has a null child");
    if (!type.dictionary != !array.dictionary)
        bad(type.dictionary ? "has no dictionary where its type has one" : "has a dictionary where its type has none");
}

// The validity bitmap to read, or null: one must be there when values are
// counted null, and is read when their count is unknown.
const void* validity_of(const ArrowArray& array) {
    if (array.n_buffers == 0 || array.null_count == 0) return nullptr;
    if (!array.buffers[0] && array.null_count > 0)
        bad("has " + count(array.null_count) + " nulls and no validity buffer");
    return array.buffers[0];
}

const void* needed_buffer(const ArrowArray& array, std::int64_t index, bool needed) {
    const void* buffer = array.buffers[index];
    if (!buffer && needed) bad("has a null buffer " + count(index) + " where its values are");
    return buffer;
}

// Offsets [offset, offset + length] of a utf8 or list array: from 0 up, never
// decreasing, the last at most `limit` (negative: no limit known).
template <class Offset>
std::int64_t check_offsets(const void* offsets, std::int64_t from, std::int64_t length, std::int64_t limit) {
    Offset first = load<Offset>(offsets, from);
    if (first < 0) bad("has a negative offset, " + count(first));
    for (std::int64_t i = from + 1; i <= from + length; ++i) {
        Offset next = load<Offset>(offsets, i);
        if (next < first) bad("has offsets that decrease, at " + count(i - from) + ": " + count(next) + " after " + count(first));
        first = next;
    }
    if (limit >= 0 && first > limit) bad("has an offset of " + count(first) + " past the " + count(limit) + " values it points into");
    if (first >= kMaxLength) bad("has an offset of " + count(first) + ", more than memory holds");
    return first;
}

std::int64_t last_offset(ArrayView& view, const ArrowArray& array, std::int64_t limit) {
    view.values = needed_buffer(array, 1, view.length > 0);
    if (!view.values) return 0;
    bool large = view.type->kind == ArrowKind::LargeUtf8 || view.type->kind == ArrowKind::LargeList;
    return large ? check_offsets<std::int64_t>(view.values, view.offset, view.length, limit)
                 : check_offsets<std::int32_t>(view.values, view.offset, view.length, limit);
}

}  // namespace

namespace {

// Each text view of a utf8_view array: its length not negative, and past
// twelve bytes (which are held inline), within the data buffer it names.
void check_text_views(ArrayView& view, const ArrowArray& array) {
    view.values = needed_buffer(array, 1, view.length > 0);
    std::int64_t buffers = array.n_buffers - 3;
    const void* sizes = needed_buffer(array, array.n_buffers - 1, buffers > 0);
    std::vector<std::int64_t> size(static_cast<std::size_t>(buffers));
    for (std::int64_t i = 0; i < buffers; ++i) {
        size[i] = load<std::int64_t>(sizes, i);
        if (size[i] < 0) bad("gives data buffer " + count(i) + " a negative size, " + count(size[i]));
        view.view_data.push_back(static_cast<const char*>(needed_buffer(array, 2 + i, size[i] > 0)));
    }
    for (std::int64_t row = 0; row < view.length; ++row) {
        if (view.is_null(row)) continue;
        const char* text = static_cast<const char*>(view.values) + (view.offset + row) * 16;
        std::int32_t length = load<std::int32_t>(text, 0);
        if (length < 0) bad("has a text of negative length, " + count(length) + ", at " + count(row));
        if (length <= 12) continue;
        std::int32_t index = load<std::int32_t>(text + 8, 0), at = load<std::int32_t>(text + 12, 0);
        if (index < 0 || index >= buffers) bad("has a text in data buffer " + count(index) + " of " + count(buffers));
        if (at < 0 || at > size[index] - length)
            bad("has a text of " + count(length) + " bytes at " + count(at) + " in a data buffer of " +
                count(size[index]));
    }
}

template <class Index>
void check_indices(const ArrayView& view) {
    std::int64_t entries = view.dictionary->length;
    for (std::int64_t row = 0; row < view.length; ++row) {
        if (view.is_null(row)) continue;
        Index code = load<Index>(view.values, view.offset + row);
        if (code < 0 || static_cast<std::uint64_t>(code) >= static_cast<std::uint64_t>(entries))
            bad("has a dictionary index of " + count(static_cast<std::int64_t>(code)) + " where the dictionary has " +
                count(entries) + " values");
    }
}

void check_dictionary(ArrayView& view, const ArrowArray& array) {
    view.values = needed_buffer(array, 1, view.length > 0);
    view.dictionary = std::make_unique<ArrayView>(view_array(*array.dictionary, *view.type->dictionary));
    if (!view.values) return;
    switch (view.type->kind) {
    case ArrowKind::Int8: return check_indices<std::int8_t>(view);
    case ArrowKind::Int16: return check_indices<std::int16_t>(view);
    case ArrowKind::Int32: return check_indices<std::int32_t>(view);
    case ArrowKind::Int64: return check_indices<std::int64_t>(view);
    case ArrowKind::UInt8: return check_indices<std::uint8_t>(view);
    case ArrowKind::UInt16: return check_indices<std::uint16_t>(view);
    case ArrowKind::UInt32: return check_indices<std::uint32_t>(view);
    default: return check_indices<std::uint64_t>(view);
    }
}

void check_values(ArrayView& view, const ArrowArray& array) {
    const ArrowType& type = *view.type;
    switch (type.kind) {
    case ArrowKind::Null: return;
    case ArrowKind::Utf8:
    case ArrowKind::LargeUtf8: {
        std::int64_t last = last_offset(view, array, -1);
        std::int64_t first = view.values ? (type.kind == ArrowKind::Utf8 ? load<std::int32_t>(view.values, view.offset)
                                                                         : load<std::int64_t>(view.values, view.offset))
                                         : 0;
        view.data = static_cast<const char*>(needed_buffer(array, 2, last > first));
        return;
    }
    case ArrowKind::Utf8View: return check_text_views(view, array);
    case ArrowKind::List:
    case ArrowKind::LargeList:
        view.children.push_back(view_array(*array.children[0], type.children[0]));
        last_offset(view, array, view.children[0].length);
        return;
    default: view.values = needed_buffer(array, 1, view.length > 0);
    }
}

ArrayView start(const ArrowArray& array, const ArrowType& type) {
    check_counts(array, type);
    ArrayView view;
    view.type = &type;
    view.length = array.length;
    view.offset = array.offset;
    view.validity = validity_of(array);
    return view;
}

}  // namespace

ArrayView view_array(const ArrowArray& array, const ArrowType& type) {
    if (!type.bindable()) bad("is of type " + type.name + ", whose values cannot be read");
    ArrayView view = start(array, type);
    if (type.dictionary)
        check_dictionary(view, array);
    else
        check_values(view, array);
    return view;
}

ArrayView view_batch(const ArrowArray& array, const ArrowType& type, const std::vector<std::size_t>& fields) {
    if (type.kind != ArrowKind::Struct || type.dictionary) bad("of a record batch is a " + type.name + ", not a struct");
    ArrayView view = start(array, type);
    for (std::size_t field : fields) {
        view.children.push_back(view_array(*array.children[field], type.children[field]));
        if (view.children.back().length < view.offset + view.length)
            bad("has a field of " + count(view.children.back().length) + " values where the batch needs " +
                count(view.offset + view.length));
    }
    return view;
}

}  // namespace velmo::tables
