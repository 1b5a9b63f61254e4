#pragma once
// The values of one output column as Arrow lays them out, in memory of its
// own: a validity bitmap (none while no value is null), then by kind 64-bit
// integers, doubles, booleans (a byte each, and their bitmap), or texts
// (offsets, 32-bit until the bytes pass 2 GiB, and the bytes). Built row by
// row (OutputColumn), then never changed, and shared by the Column objects
// and every Arrow array exported from them, whichever is released last.

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace velmo::tables {

// Bytes that grow by doubling, in memory from malloc, aligned for any
// number, as Arrow asks of a buffer.
class Bytes {
public:
    Bytes() noexcept = default;
    Bytes(Bytes&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Bytes& operator=(Bytes&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }
    ~Bytes() { std::free(data_); }

    char* data() noexcept { return data_; }
    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // Room for `more` bytes past the end.
    void reserve(std::size_t more) {
        if (capacity_ - size_ >= more) return;
        std::size_t room = std::max(capacity_ * 2, size_ + more);
        room = std::max<std::size_t>(room, 64);
        auto* grown = static_cast<char*>(std::realloc(data_, room));
        if (!grown) throw std::bad_alloc();
        data_ = grown;
        capacity_ = room;
    }
    // A short text, the common one, is copied without a call, as two
    // copies of a fixed size that overlap as much as its length needs.
    void append(const void* from, std::size_t n) {
        if (capacity_ - size_ < n) reserve(n);
        auto* bytes = static_cast<const char*>(from);
        char* to = data_ + size_;
        if (n > 16) {
            std::memcpy(to, bytes, n);
        } else if (n >= 8) {
            copy_two<8>(to, bytes, n);
        } else if (n >= 4) {
            copy_two<4>(to, bytes, n);
        } else if (n > 0) {  // an empty text may have no bytes to point at
            to[0] = bytes[0];
            to[n / 2] = bytes[n / 2];
            to[n - 1] = bytes[n - 1];
        }
        size_ += n;
    }
    template <class T>
    void push(T value) {
        if (capacity_ - size_ < sizeof(T)) reserve(sizeof(T));
        std::memcpy(data_ + size_, &value, sizeof(T));
        size_ += sizeof(T);
    }
    // Grows to `n` bytes, the new ones zero.
    void resize(std::size_t n) {
        if (n <= size_) return;
        reserve(n - size_);
        std::memset(data_ + size_, 0, n - size_);
        size_ = n;
    }
    template <class T>
    T at(std::size_t i) const noexcept {
        T value;
        std::memcpy(&value, data_ + i * sizeof(T), sizeof(T));
        return value;
    }

private:
    // The first and the last `Width` of `n` bytes, where Width <= n <= 2 * Width.
    template <std::size_t Width>
    static void copy_two(char* to, const char* from, std::size_t n) noexcept {
        char head[Width], tail[Width];
        std::memcpy(head, from, Width);
        std::memcpy(tail, from + n - Width, Width);
        std::memcpy(to, head, Width);
        std::memcpy(to + n - Width, tail, Width);
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

enum class ColumnKind : std::uint8_t { Null, Int, Float, Bool, Text };

struct ColumnData {
    ColumnKind kind = ColumnKind::Null;
    std::int64_t length = 0;
    std::int64_t null_count = 0;
    Bytes validity;  // a bit per row; empty while no row is null
    Bytes values;    // Int, Float: 8 bytes a row; Bool: 1 byte a row
    Bytes bits;      // Bool: the values as a bitmap, for Arrow
    Bytes offsets;   // Text: length + 1 offsets
    Bytes text;      // Text: the bytes
    bool large = false;  // Text: 64-bit offsets

    bool is_null(std::int64_t i) const noexcept {
        if (kind == ColumnKind::Null) return true;
        return !validity.empty() && !((validity.data()[i >> 3] >> (i & 7)) & 1);
    }
    std::string_view text_at(std::int64_t i) const noexcept {
        std::int64_t from = large ? offsets.at<std::int64_t>(i) : offsets.at<std::int32_t>(i);
        std::int64_t to = large ? offsets.at<std::int64_t>(i + 1) : offsets.at<std::int32_t>(i + 1);
        return {text.data() + from, static_cast<std::size_t>(to - from)};
    }
};

}  // namespace velmo::tables
