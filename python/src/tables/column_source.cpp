#include "column_source.hpp"

#include <algorithm>
#include <cerrno>

#include "boundary.hpp"
#include "capsules.hpp"
#include "convert.hpp"
#include "host.hpp"
#include "recursion_guard.hpp"
#include "sequence.hpp"

namespace velmo::tables {
namespace {

// Items of a sequence packed at a time where they go packed.
constexpr std::int64_t kPackedRows = 4096;

}  // namespace

void refuse_type(const std::string& label, const std::string& type) {
    PyErr_Format(PyExc_TypeError, "column %s has type %s, which does not bind to Quarn values", label.c_str(),
                 type.c_str());
    throw PyErrOccurred{};
}

void refuse_arrow(const std::string& where, const BadArrow& bad) {
    PyErr_Format(PyExc_ValueError, "invalid Arrow data in %s: %s", where.c_str(), bad.what());
    throw PyErrOccurred{};
}

// A producer that says nothing of its failure is named by its code.
void raise_stream_error(ArrowArrayStream& stream, int code) {
    const char* said = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    std::string text = said ? std::string(said, ::strnlen(said, 1 << 16))
                            : "the Arrow stream failed with error code " + std::to_string(code);
    PyObject* type = code == ENOMEM ? PyExc_MemoryError : code == EIO ? PyExc_OSError : PyExc_ValueError;
    PyErr_SetString(type, text.c_str());
    throw PyErrOccurred{};
}

ColumnSource::ColumnSource(PyObject* column, std::string label) : label_(std::move(label)) {
    if (has_method(column, "__arrow_c_array__"))
        take_arrow(column, false);
    else if (has_method(column, "__arrow_c_stream__"))
        take_arrow(column, true);
    else if (!PyObject_CheckBuffer(column) || !take_buffer(column))
        take_sequence(column);
}

ColumnSource::~ColumnSource() {
    if (buffer_) PyBuffer_Release(&*buffer_);
}

void ColumnSource::take_arrow(PyObject* column, bool stream) {
    from_ = From::Arrow;
    if (stream) {
        take_stream(column);
    } else {
        SchemaAndArray given = array_of(column);
        try {
            type_ = read_type(*given.schema);
        } catch (const BadArrow& bad) {
            refuse_arrow("column " + label_, bad);
        }
        check_type();
        arrays_.push_back(std::move(given.array));
    }
    for (OwnedArray& array : arrays_) {
        try {
            views_.push_back(view_array(*array, type_));
        } catch (const BadArrow& bad) {
            refuse_arrow("column " + label_, bad);
        }
        length_ += views_.back().length;
    }
}

// Every chunk of the stream, taken now: the column's length is needed
// before any row runs.
void ColumnSource::take_stream(PyObject* column) {
    OwnedStream stream = stream_of(column);
    OwnedSchema schema;
    if (int code = stream->get_schema(stream.get(), schema.out())) raise_stream_error(*stream, code);
    try {
        type_ = read_type(*schema);
    } catch (const BadArrow& bad) {
        refuse_arrow("column " + label_, bad);
    }
    check_type();
    for (;;) {
        OwnedArray array;
        if (int code = stream->get_next(stream.get(), array.out())) raise_stream_error(*stream, code);
        if (!array) return;
        arrays_.push_back(std::move(array));
    }
}

void ColumnSource::check_type() {
    if (!type_.bindable()) refuse_type(label_, type_.name);
}

// A buffer of numbers or booleans; false for one of other items, which may
// still be read as a sequence.
bool ColumnSource::take_buffer(PyObject* column) {
    Py_buffer view;
    if (PyObject_GetBuffer(column, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    buffer_ = view;
    if (view.ndim != 1) {
        PyErr_Format(PyExc_TypeError, "column %s is a buffer of %d dimensions; a column has one", label_.c_str(),
                     view.ndim);
        throw PyErrOccurred{};
    }
    const char* format = view.format ? view.format : "B";
    std::optional<NumberFormat> number = number_format(format, static_cast<std::size_t>(view.itemsize));
    if (!number) {
        PyBuffer_Release(&*buffer_);
        buffer_.reset();
        if (PySequence_Check(column)) return false;
        refuse_type(label_, "buffer format '" + std::string(format) + "'");
    }
    strided_.emplace(static_cast<const char*>(view.buf), view.strides ? view.strides[0] : view.itemsize, *number);
    length_ = view.shape ? view.shape[0] : view.len / std::max<Py_ssize_t>(view.itemsize, 1);
    from_ = From::Strided;
    return true;
}

void ColumnSource::take_sequence(PyObject* column) {
    try {
        check_sequence(column);
    } catch (const PyErrOccurred&) {
        prefix_type_error("column " + label_ + ": ");
        throw;
    }
    bool packed = host::kRowsAsColumns;
    if (!packed && PyTuple_CheckExact(column))
        items_ = Ref::own(column);
    else
        items_ = Ref::checked(python_call([&] { return packed ? PySequence_List(column) : PySequence_Tuple(column); }, nullptr));
    length_ = PySequence_Size(items_.get());
    from_ = packed ? From::Packed : From::Objects;
}

std::int64_t ColumnSource::rows_in_chunk() {
    if (!opened_) {
        opened_ = true;
        open_chunk();
    }
    while (position_ >= chunk_length_) {
        bool more = from_ == From::Arrow ? chunk_ + 1 < views_.size() : chunk_start_ + chunk_length_ < length_;
        if (!more) return 0;
        chunk_start_ += chunk_length_;
        ++chunk_;
        position_ = 0;
        open_chunk();
    }
    return chunk_length_ - position_;
}

void ColumnSource::open_chunk() {
    switch (from_) {
    case From::Arrow:
        chunk_length_ = chunk_ < views_.size() ? views_[chunk_].length : 0;
        if (chunk_length_ > 0) reader_ = std::make_unique<ArrowReader>(views_[chunk_]);
        return;
    case From::Packed: {
        chunk_length_ = std::min(kPackedRows, length_ - chunk_start_);
        if (chunk_length_ <= 0) return;
        Ref slice = Ref::checked(PySequence_GetSlice(items_.get(), static_cast<Py_ssize_t>(chunk_start_),
                                                     static_cast<Py_ssize_t>(chunk_start_ + chunk_length_)));
        packed_.emplace(slice.get());
        return;
    }
    default: chunk_length_ = chunk_ == 0 ? length_ : 0;
    }
}

// An exact str's text is looked for among the last few first.
quarn::Value ColumnSource::object(std::int64_t at) {
    PyObject* item = PyTuple_GET_ITEM(items_.get(), static_cast<Py_ssize_t>(at));
    if (PyUnicode_CheckExact(item)) {
        Py_ssize_t size = 0;
        if (const char* chars = host::utf8_chars(item, &size)) {
            std::string_view text(chars, static_cast<std::size_t>(size));
            if (const quarn::Value* known = recent_.find(text)) return *known;
            quarn::Value made = quarn::Value::string(text);
            recent_.keep(made);
            return made;
        }
        PyErr_Clear();
    }
    return extract_value(item);
}

}  // namespace velmo::tables
