// The checksums of a PNG file, computed here: CRC-32 of its chunks (the reflected polynomial
// 0xEDB88320, as zlib and PNG define it) and Adler-32 of its zlib stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumen {

// CRC-32 of `size` bytes, continued from `crc` (0 for a new one). Slice-by-8 tables.
uint32_t crc32(uint32_t crc, const uint8_t* bytes, std::size_t size);
// Adler-32 of `size` bytes, continued from `adler` (1 for a new one).
uint32_t adler32(uint32_t adler, const uint8_t* bytes, std::size_t size);
// Adler-32 continued over `count` zero bytes, in constant time: the sum A stays, B grows by
// count * A.
uint32_t adler32Zeros(uint32_t adler, std::size_t count);

}  // namespace lumen
