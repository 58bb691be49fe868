// Capture in the web build, which has no libpng or giflib: the PNG is written by hand with
// uncompressed (stored) deflate blocks, so LUMEN_CAPTURE gives the same pixels as on Linux in a
// larger file; LUMEN_MOVIE is not available and says so when opened.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/capture.h"

namespace lumen {

namespace {

uint32_t crcTable(unsigned n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    return c;
}

class Crc {
public:
    Crc() {
        for (unsigned n = 0; n < 256; ++n) table_[n] = crcTable(n);
    }
    uint32_t update(uint32_t crc, const uint8_t* p, std::size_t n) const {
        crc = ~crc;
        for (std::size_t i = 0; i < n; ++i) crc = table_[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
        return ~crc;
    }

private:
    uint32_t table_[256];
};

void putBig32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data, const Crc& crc) {
    putBig32(out, static_cast<uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    putBig32(out, crc.update(0, out.data() + start, out.size() - start));
}

}  // namespace

std::string writePng(std::FILE* out, const uint32_t* pixels, int width, int height) {
    if (out == nullptr) return "no file";
    if (pixels == nullptr || width <= 0 || height <= 0) return "no pixels";
    const Crc crc;

    // The image data: per row a filter byte 0 and R, G, B, A.
    const std::size_t rowBytes = 1 + std::size_t{4} * static_cast<std::size_t>(width);
    std::vector<uint8_t> raw(rowBytes * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        uint8_t* row = raw.data() + rowBytes * static_cast<std::size_t>(y);
        row[0] = 0;
        const uint32_t* in = pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int x = 0; x < width; ++x) {
            const uint32_t p = in[x];
            row[1 + 4 * x] = static_cast<uint8_t>(p >> 16);
            row[2 + 4 * x] = static_cast<uint8_t>(p >> 8);
            row[3 + 4 * x] = static_cast<uint8_t>(p);
            row[4 + 4 * x] = static_cast<uint8_t>(p >> 24);
        }
    }
    // zlib stream: header, stored blocks of at most 65535 bytes, Adler-32.
    std::vector<uint8_t> z = {0x78, 0x01};
    uint32_t a = 1, b = 0;
    for (const uint8_t v : raw) {
        a = (a + v) % 65521u;
        b = (b + a) % 65521u;
    }
    for (std::size_t at = 0; at < raw.size() || raw.empty();) {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
        const bool last = at + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<uint8_t>(n));
        z.push_back(static_cast<uint8_t>(n >> 8));
        z.push_back(static_cast<uint8_t>(~n));
        z.push_back(static_cast<uint8_t>(~n >> 8));
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                 raw.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        if (last) break;
    }
    putBig32(z, (b << 16) | a);

    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    putBig32(header, static_cast<uint32_t>(width));
    putBig32(header, static_cast<uint32_t>(height));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter, no interlace
    chunk(file, "IHDR", header, crc);
    chunk(file, "IDAT", z, crc);
    chunk(file, "IEND", {}, crc);

    // The caller's stream: it commits (or drops) the file; here only the bytes.
    errno = 0;
    if (std::fwrite(file.data(), 1, file.size(), out) != file.size() || std::fflush(out) != 0)
        return std::strerror(errno != 0 ? errno : EIO);
    return "";
}

GifMovie::GifMovie() : file_(nullptr) {}

GifMovie::~GifMovie() { close(); }

bool GifMovie::fail(const char* what, int) {
    if (error_.empty()) error_ = what;
    return false;
}

bool GifMovie::open(std::FILE*, int width, int height) {
    error_.clear();
    width_ = width;
    height_ = height;
    presented_ = 0;
    written_ = 0;
    return fail("the web build has no movie writer", 0);
}

bool GifMovie::present(const uint32_t*) { return false; }

bool GifMovie::close() { return error_.empty(); }

}  // namespace lumen
