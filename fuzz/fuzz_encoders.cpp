// Fuzz target (4): the picture's and the movie's encoders round trip. An image of any small size
// made of the input's bytes (runs of a pixel or an index as often as noise) is encoded; zlib
// inflates the PNG's data and the target undoes the filters, and giflib reads the GIF data to its
// end code (rows given as the movie gives them: repeated, filled, added): both must give back
// exactly what went in, within the writers' stated bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "outputs/lzw.h"
#include "support/captures.h"
#include "support/gif_lzw.h"
#include "support/lzw_rows.h"

namespace {

#define CHECK(c) \
    do {         \
        if (!(c)) std::abort(); \
    } while (0)

uint32_t big32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// The file's pixels as 0xAARRGGBB, undoing the filters None, Sub and Up (the ones written).
std::vector<uint32_t> readPng(const std::vector<uint8_t>& file, int w, int h) {
    std::vector<uint8_t> data;
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const uint32_t n = big32(&file[at]);
        CHECK(at + 12 + n <= file.size());
        if (std::memcmp(&file[at + 4], "IDAT", 4) == 0) data.insert(data.end(), &file[at + 8], &file[at + 8] + n);
        at += 12 + n;
    }
    const std::size_t stride = std::size_t(w) * 4 + 1;
    std::vector<uint8_t> raw(stride * std::size_t(h) + 1);
    uLongf size = static_cast<uLongf>(raw.size());
    CHECK(::uncompress(raw.data(), &size, data.data(), static_cast<uLong>(data.size())) == Z_OK);
    CHECK(size == stride * std::size_t(h));
    std::vector<uint32_t> out(std::size_t(w) * h);
    std::vector<uint8_t> above(stride - 1, 0);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = &raw[stride * std::size_t(y)];
        const uint8_t filter = row[0];
        ++row;
        for (std::size_t i = 0; i < stride - 1; ++i) {
            if (filter == 1) row[i] = uint8_t(row[i] + (i >= 4 ? row[i - 4] : 0));
            else if (filter == 2) row[i] = uint8_t(row[i] + above[i]);
            else CHECK(filter == 0);
        }
        std::memcpy(above.data(), row, stride - 1);
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = row + 4 * x;
            out[std::size_t(y) * w + x] = uint32_t{p[3]} << 24 | uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int w = in.ConsumeIntegralInRange<int>(1, 300);
    const int h = in.ConsumeIntegralInRange<int>(1, 60);
    const std::size_t n = std::size_t(w) * h;
    std::vector<uint32_t> pixels(n);
    std::vector<uint8_t> indices(n);
    for (std::size_t i = 0; i < n;) {  // runs of 1 to 4000 of one value
        const std::size_t run = std::min<std::size_t>(n - i, in.ConsumeIntegralInRange<std::size_t>(1, 4000));
        const uint32_t pixel = in.ConsumeIntegral<uint32_t>();
        for (std::size_t k = 0; k < run; ++k, ++i) {
            pixels[i] = pixel;
            indices[i] = uint8_t(pixel);
        }
    }

    const std::vector<uint8_t> file = support::encodePng(pixels.data(), w, h);
    CHECK(file.size() <= n * 4 + std::size_t(h) + n / 8 + 1024);
    CHECK(readPng(file, w, h) == pixels);

    std::vector<uint8_t> gif(lumen::LzwWriter::bound(n));
    static lumen::LzwWriter lzw;  // 256 KiB: one for all inputs, each begins afresh
    lzw.begin(gif.data());
    // Row by row as the movie gives them: a row like the one above repeated, its end runs filled.
    const std::size_t width = std::size_t(w);
    for (std::size_t at = 0; at < n; at += width) {
        const uint8_t* row = indices.data() + at;
        const bool likeAbove = at > 0 && std::memcmp(row, row - width, width) == 0;
        support::giveLzwRow(lzw, row, width, likeAbove, support::RowWay::FillAndAdd);
    }
    const uint8_t* end = lzw.end();
    CHECK(end <= gif.data() + gif.size());
    std::vector<uint8_t> back;
    CHECK(support::readGifLzw(gif.data(), end, back));
    CHECK(back == indices);
    return 0;
}
