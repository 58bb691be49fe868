#include "outputs/checksum.h"

namespace lumen {

namespace {

// table[0] is the byte-at-a-time table; table[k][n] is the CRC of byte n followed by k zero
// bytes, so that eight bytes fold in with eight lookups and no dependency between them.
struct CrcTables {
    uint32_t table[8][256];
};

CrcTables makeCrcTables() {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t.table[0][n] = c;
    }
    for (int k = 1; k < 8; ++k) {
        for (uint32_t n = 0; n < 256; ++n) {
            const uint32_t c = t.table[k - 1][n];
            t.table[k][n] = (c >> 8) ^ t.table[0][c & 0xFFu];
        }
    }
    return t;
}

// Made at the first checksum rather than at compile time: 8 KB that the program's file (and
// the page's download) need not carry.
const CrcTables& crcTables() {
    static const CrcTables tables = makeCrcTables();
    return tables;
}

constexpr uint32_t kAdlerBase = 65521;  // the largest prime below 2^16
// The most bytes whose sums cannot overflow 32 bits before they are reduced.
constexpr std::size_t kAdlerRun = 5552;

inline uint32_t little32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

uint32_t crc32(uint32_t crc, const uint8_t* bytes, std::size_t size) {
    const auto& t = crcTables().table;
    crc = ~crc;
    for (; size >= 8; size -= 8, bytes += 8) {
        const uint32_t lo = little32(bytes) ^ crc;
        const uint32_t hi = little32(bytes + 4);
        crc = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^ t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
    }
    for (; size > 0; --size, ++bytes) crc = t[0][(crc ^ *bytes) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

uint32_t adler32(uint32_t adler, const uint8_t* bytes, std::size_t size) {
    uint32_t a = adler & 0xFFFFu, b = adler >> 16;
    while (size > 0) {
        const std::size_t run = size < kAdlerRun ? size : kAdlerRun;
        for (std::size_t i = 0; i < run; ++i) {
            a += bytes[i];
            b += a;
        }
        a %= kAdlerBase;
        b %= kAdlerBase;
        bytes += run;
        size -= run;
    }
    return b << 16 | a;
}

uint32_t adler32Zeros(uint32_t adler, std::size_t count) {
    const uint64_t a = (adler & 0xFFFFu) % kAdlerBase;
    const uint64_t b = ((adler >> 16) + (count % kAdlerBase) * a) % kAdlerBase;
    return static_cast<uint32_t>(b << 16 | a);
}

}  // namespace lumen
