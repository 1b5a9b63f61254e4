#pragma once
// CRC-32 as zlib, PNG and Python's zlib.crc32 compute it (the reflected
// polynomial 0xEDB88320): the checksum that ends every payload, so that a
// payload changed or cut short on its way is refused instead of read as some
// other tree. Eight bytes at a time, through eight tables made at compile
// time.

#include <cstdint>
#include <string_view>

namespace quarn {

std::uint32_t crc32(std::string_view bytes) noexcept;

}  // namespace quarn
