#include "core/png.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "core/checksum.h"
#include "core/deflate.h"

namespace lumen {

namespace {

constexpr uint8_t kFilterSub = 1;
constexpr uint8_t kFilterUp = 2;
constexpr std::size_t kMaxChunk = std::size_t{1} << 20;  // image data per IDAT chunk

void putBig32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void chunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, std::size_t size) {
    putBig32(out, static_cast<uint32_t>(size));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    putBig32(out, crc32(0, out.data() + start, out.size() - start));
}

// A pixel's bytes in the file's order, R, G, B, A.
inline void putPixel(ZlibWriter& z, uint32_t p) {
    z.byte(static_cast<uint8_t>(p >> 16));
    z.byte(static_cast<uint8_t>(p >> 8));
    z.byte(static_cast<uint8_t>(p));
    z.byte(static_cast<uint8_t>(p >> 24));
}

// Each byte of p less that of q, modulo 256 (the Sub filter of a whole pixel).
inline uint32_t byteDifference(uint32_t p, uint32_t q) {
    constexpr uint32_t kHigh = 0x80808080u;
    return ((p | kHigh) - (q & ~kHigh)) ^ ((p ^ ~q) & kHigh);
}

}  // namespace

std::vector<uint8_t> encodePng(const uint32_t* pixels, int width, int height) {
    const auto w = static_cast<std::size_t>(width);
    std::vector<uint8_t> data;
    {
        ZlibWriter z(data);
        const uint32_t* above = nullptr;
        for (int y = 0; y < height; ++y) {
            const uint32_t* row = pixels + static_cast<std::size_t>(y) * w;
            if (above != nullptr && std::memcmp(row, above, w * 4) == 0) {
                z.byte(kFilterUp);
                z.zeros(w * 4);
            } else {
                z.byte(kFilterSub);
                putPixel(z, row[0]);
                for (std::size_t x = 1; x < w;) {
                    if (row[x] != row[x - 1]) {
                        putPixel(z, byteDifference(row[x], row[x - 1]));
                        ++x;
                        continue;
                    }
                    const std::size_t start = x;
                    const uint32_t same = row[x - 1];
                    while (x < w && row[x] == same) ++x;
                    z.zeros((x - start) * 4);
                }
            }
            above = row;
        }
        z.finish();
    }

    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    file.reserve(data.size() + data.size() / kMaxChunk * 12 + 64);
    std::vector<uint8_t> header;
    putBig32(header, static_cast<uint32_t>(width));
    putBig32(header, static_cast<uint32_t>(height));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, filters, no interlace
    chunk(file, "IHDR", header.data(), header.size());
    for (std::size_t at = 0; at < data.size(); at += kMaxChunk)
        chunk(file, "IDAT", data.data() + at, std::min(kMaxChunk, data.size() - at));
    chunk(file, "IEND", nullptr, 0);
    return file;
}

}  // namespace lumen
