#include "outputs/png.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "outputs/checksum.h"

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

PngWriter::PngWriter(int width, int height) : width_(width), height_(height), zlib_(data_) {}

void PngWriter::rows(const uint32_t* row, int count) {
    const auto w = static_cast<std::size_t>(width_);
    if (above_ != nullptr && std::memcmp(row, above_, w * 4) == 0) {
        ++count;  // all of them are Up rows
    } else {
        zlib_.byte(kFilterSub);
        putPixel(zlib_, row[0]);
        for (std::size_t x = 1; x < w;) {
            if (row[x] != row[x - 1]) {
                putPixel(zlib_, byteDifference(row[x], row[x - 1]));
                ++x;
                continue;
            }
            const std::size_t start = x;
            const uint32_t same = row[x - 1];
            while (x < w && row[x] == same) ++x;
            zlib_.zeros((x - start) * 4);
        }
    }
    for (int i = 1; i < count; ++i) {  // a row equal to the one above: zeros
        zlib_.byte(kFilterUp);
        zlib_.zeros(w * 4);
    }
    above_ = row;
}

std::vector<uint8_t> PngWriter::finish() {
    zlib_.finish();
    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    file.reserve(data_.size() + data_.size() / kMaxChunk * 12 + 64);
    std::vector<uint8_t> header;
    putBig32(header, static_cast<uint32_t>(width_));
    putBig32(header, static_cast<uint32_t>(height_));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, filters, no interlace
    chunk(file, "IHDR", header.data(), header.size());
    for (std::size_t at = 0; at < data_.size(); at += kMaxChunk)
        chunk(file, "IDAT", data_.data() + at, std::min(kMaxChunk, data_.size() - at));
    chunk(file, "IEND", nullptr, 0);
    return file;
}

}  // namespace lumen
