// The .ico decoder (icon.h).
#include "pixels/icon.h"

#include <cstring>

namespace lumen {

namespace {
uint32_t readLe(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
}  // namespace

bool decodeIcon(const uint8_t* data, std::size_t bytes, int size, IconImage& out) {
    if (data == nullptr || bytes < 6) return false;
    if (readLe(data, 2) != 0 || readLe(data + 2, 2) != 1) return false;  // ICONDIR of an icon
    const uint32_t count = readLe(data + 4, 2);
    if (6 + std::size_t{count} * 16 > bytes) return false;

    // The entries that are whole 32-bpp bitmaps: pick `size` x `size`, else the largest.
    struct Candidate {
        uint32_t width, height, pixelsAt, maskAt;
        bool hasMask;
    };
    Candidate best{};
    bool found = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = data + 6 + std::size_t{i} * 16;
        const uint64_t length = readLe(e + 8, 4);
        const uint64_t offset = readLe(e + 12, 4);
        if (offset + length > bytes || length < 40) continue;
        const uint8_t* image = data + offset;
        if (std::memcmp(image, "\x89PNG", 4) == 0) continue;  // PNG entries are skipped
        const uint32_t headerSize = readLe(image, 4);
        const auto width = static_cast<int32_t>(readLe(image + 4, 4));
        const auto height2 = static_cast<int32_t>(readLe(image + 8, 4));  // XOR + AND rows
        const uint32_t bitCount = readLe(image + 14, 2);
        const uint32_t compression = readLe(image + 16, 4);
        if (headerSize < 40 || bitCount != 32 || compression != 0) continue;
        if (width <= 0 || width > 1024 || height2 <= 0 || height2 % 2 != 0 || height2 / 2 > 1024)
            continue;
        const auto w = static_cast<uint32_t>(width);
        const auto h = static_cast<uint32_t>(height2 / 2);
        const uint64_t pixelBytes = uint64_t{w} * h * 4;
        const uint64_t maskBytes = uint64_t{(w + 31) / 32 * 4} * h;
        if (headerSize + pixelBytes > length) continue;
        const Candidate c{w, h, static_cast<uint32_t>(offset + headerSize),
                          static_cast<uint32_t>(offset + headerSize + pixelBytes),
                          headerSize + pixelBytes + maskBytes <= length};
        const bool exact = static_cast<int>(w) == size && static_cast<int>(h) == size;
        const bool bestExact =
            found && static_cast<int>(best.width) == size && static_cast<int>(best.height) == size;
        if (!found || (exact && !bestExact) ||
            (!bestExact && uint64_t{w} * h > uint64_t{best.width} * best.height)) {
            best = c;
            found = true;
        }
    }
    if (!found) return false;

    out.width = static_cast<int>(best.width);
    out.height = static_cast<int>(best.height);
    out.pixels.assign(std::size_t{best.width} * best.height, 0);
    bool anyAlpha = false;
    for (uint32_t row = 0; row < best.height; ++row) {
        // Bottom-up rows of B, G, R, A bytes: that is 0xAARRGGBB read little-endian.
        const uint8_t* src = data + best.pixelsAt + std::size_t{best.height - 1 - row} * best.width * 4;
        uint32_t* dst = out.pixels.data() + std::size_t{row} * best.width;
        for (uint32_t x = 0; x < best.width; ++x) {
            dst[x] = readLe(src + std::size_t{x} * 4, 4);
            anyAlpha = anyAlpha || (dst[x] >> 24) != 0;
        }
    }
    if (!anyAlpha) {
        // An image without alpha: the AND mask says which pixels are transparent (bit set).
        const uint32_t stride = (best.width + 31) / 32 * 4;
        for (uint32_t row = 0; row < best.height; ++row) {
            const uint8_t* mask = data + best.maskAt + std::size_t{best.height - 1 - row} * stride;
            uint32_t* dst = out.pixels.data() + std::size_t{row} * best.width;
            for (uint32_t x = 0; x < best.width; ++x) {
                const bool clear = best.hasMask && ((mask[x / 8] >> (7 - x % 8)) & 1) != 0;
                if (!clear) dst[x] |= 0xFF000000u;
            }
        }
    }
    return true;
}

}  // namespace lumen
