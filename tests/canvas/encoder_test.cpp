// The picture's and the movie's encoders against independent decoders: zlib inflates the
// deflate streams, libpng reads the PNG files and giflib the GIF data, and each must give back
// exactly what went in; the checksums against published values and zlib's own.
#include "pixels/canvas.h"
#include "outputs/checksum.h"
#include "outputs/deflate.h"
#include "outputs/lzw.h"
#include "outputs/png.h"
#include "support/captures.h"
#include "support/gif_lzw.h"
#include "support/lzw_rows.h"

#include <gtest/gtest.h>

#include <gif_lib.h>
#include <png.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ---- Checksums ---------------------------------------------------------------------------

TEST(Checksum, PublishedValues) {
    const Bytes digits = bytesOf("123456789");
    EXPECT_EQ(lumen::crc32(0, digits.data(), digits.size()), 0xCBF43926u);
    EXPECT_EQ(lumen::adler32(1, digits.data(), digits.size()), 0x091E01DEu);
    const Bytes fox = bytesOf("The quick brown fox jumps over the lazy dog");
    EXPECT_EQ(lumen::crc32(0, fox.data(), fox.size()), 0x414FA339u);
    const Bytes wiki = bytesOf("Wikipedia");
    EXPECT_EQ(lumen::adler32(1, wiki.data(), wiki.size()), 0x11E60398u);
    EXPECT_EQ(lumen::crc32(0, nullptr, 0), 0u);
    EXPECT_EQ(lumen::adler32(1, nullptr, 0), 1u);
}

// Every length from 0 to 40 (the slice-by-8 loop and its tail), long buffers of 0xFF (the
// Adler sums' worst case for overflow) and continuation in pieces, against zlib.
TEST(Checksum, MatchZlibOnAnyLengthAndSplit) {
    std::mt19937 rng(7);
    Bytes data(300000);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    for (std::size_t n = 0; n <= 40; ++n) {
        EXPECT_EQ(lumen::crc32(0, data.data() + 3, n), ::crc32(0, data.data() + 3, uInt(n))) << n;
        EXPECT_EQ(lumen::adler32(1, data.data() + 3, n), ::adler32(1, data.data() + 3, uInt(n))) << n;
    }
    const Bytes ones(200000, 0xFF);
    EXPECT_EQ(lumen::adler32(1, ones.data(), ones.size()), ::adler32(1, ones.data(), uInt(ones.size())));
    EXPECT_EQ(lumen::crc32(0, ones.data(), ones.size()), ::crc32(0, ones.data(), uInt(ones.size())));
    uint32_t crc = 0, adler = 1;
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t n = std::min<std::size_t>(rng() % 9000, data.size() - at);
        crc = lumen::crc32(crc, data.data() + at, n);
        adler = lumen::adler32(adler, data.data() + at, n);
        at += n;
    }
    EXPECT_EQ(crc, ::crc32(0, data.data(), uInt(data.size())));
    EXPECT_EQ(adler, ::adler32(1, data.data(), uInt(data.size())));
}

TEST(Checksum, AdlerOfZerosInConstantTimeEqualsByteByByte) {
    const Bytes zeros(200000, 0);
    const Bytes start = bytesOf("some bytes before the zeros");
    const uint32_t before = lumen::adler32(1, start.data(), start.size());
    for (std::size_t n : {0u, 1u, 5552u, 5553u, 65520u, 65521u, 65522u, 131042u, 200000u})
        EXPECT_EQ(lumen::adler32Zeros(before, n), lumen::adler32(before, zeros.data(), n)) << n;
}

// ---- Deflate ------------------------------------------------------------------------------

// The data written through a ZlibWriter: runs of zeros through zeros(), the rest byte by byte.
Bytes compress(const Bytes& data) {
    Bytes out;
    lumen::ZlibWriter z(out);
    for (std::size_t i = 0; i < data.size();) {
        if (data[i] == 0 && i % 3 == 0) {  // some zeros come as runs, some as bytes
            std::size_t n = 0;
            while (i + n < data.size() && data[i + n] == 0) ++n;
            z.zeros(n);
            i += n;
        } else {
            z.byte(data[i++]);
        }
    }
    z.finish();
    return out;
}

// zlib's inflate of a whole stream: false if it is not a valid, complete zlib stream of
// exactly `expected` bytes (the checksum included).
bool inflateTo(const Bytes& stream, Bytes& out, std::size_t expected) {
    out.assign(expected + 1, 0xAA);
    uLongf size = static_cast<uLongf>(out.size());
    const int result = ::uncompress(out.data(), &size, stream.data(), static_cast<uLong>(stream.size()));
    out.resize(size);
    return result == Z_OK && size == expected;
}

TEST(Deflate, RoundTripsRunsOfEveryAwkwardLength) {
    // Zero runs around the copy limits (3 and 258 and their sums), at the start, the end, and
    // between single bytes; then the same after a zero (a run may follow a zero byte).
    Bytes data;
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 257u, 258u, 259u, 260u, 261u, 516u, 517u, 518u, 6400u, 70000u}) {
        data.insert(data.end(), n, 0);
        data.push_back(static_cast<uint8_t>(1 + n % 250));
    }
    data.insert(data.end(), 1000, 0);
    Bytes back;
    ASSERT_TRUE(inflateTo(compress(data), back, data.size()));
    EXPECT_EQ(back, data);
    EXPECT_LT(compress(data).size(), 300u) << "zero runs should cost next to nothing";

    for (const Bytes& edge : {Bytes{}, Bytes{0}, Bytes{5}, Bytes(3, 0), Bytes(1 << 20, 0)}) {
        ASSERT_TRUE(inflateTo(compress(edge), back, edge.size())) << edge.size();
        EXPECT_EQ(back, edge);
    }
}

// Noise that no copy helps: valid, and hardly larger than the data (a literal costs at most
// 15 bits, but a block's own code gives noise about 8); several blocks of their own codes.
TEST(Deflate, NoiseStaysValidAndNearItsSize) {
    std::mt19937 rng(11);
    for (std::size_t size : {std::size_t{1000}, lumen::ZlibWriter::kBlockTokens * 3 + 17}) {
        Bytes data(size);
        for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
        const Bytes stream = compress(data);
        Bytes back;
        ASSERT_TRUE(inflateTo(stream, back, data.size()));
        EXPECT_EQ(back, data);
        EXPECT_LT(stream.size(), data.size() + data.size() / 50 + 400) << size;
    }
    // Skewed: a few symbols very often, many once (deep codes), mixed with runs.
    Bytes data;
    for (int i = 0; i < 400000; ++i) {
        const unsigned r = rng() % 1000;
        data.push_back(r < 900 ? 0 : r < 990 ? 1 : static_cast<uint8_t>(rng()));
    }
    Bytes back;
    ASSERT_TRUE(inflateTo(compress(data), back, data.size()));
    EXPECT_EQ(back, data);
}

// Frequencies of the Fibonacci numbers make an unlimited Huffman code as deep as there are
// symbols: the lengths must keep the limit and still form a whole prefix code.
TEST(Deflate, HuffmanLengthsKeepTheLimitAndAreComplete) {
    std::vector<uint32_t> freq(30);
    freq[0] = freq[1] = 1;
    for (std::size_t i = 2; i < freq.size(); ++i) freq[i] = freq[i - 1] + freq[i - 2];
    for (int limit : {7, 9, 15}) {
        uint8_t lengths[30];
        lumen::huffmanLengths(freq.data(), 30, limit, lengths);
        double kraft = 0;
        for (uint8_t n : lengths) {
            ASSERT_GE(n, 1);
            ASSERT_LE(n, limit);
            kraft += 1.0 / double(1u << n);
        }
        EXPECT_EQ(kraft, 1.0) << limit;
    }
    const uint32_t two[4] = {0, 5, 0, 1};
    uint8_t lengths[4];
    lumen::huffmanLengths(two, 4, 15, lengths);
    EXPECT_EQ(lengths[0], 0);
    EXPECT_EQ(lengths[1], 1);
    EXPECT_EQ(lengths[2], 0);
    EXPECT_EQ(lengths[3], 1);
}

// ---- PNG ----------------------------------------------------------------------------------

// libpng's reading of an encoded image: its pixels as 0xAARRGGBB, or a failure.
void expectDecodesTo(const uint32_t* pixels, int w, int h, const std::string& what) {
    const Bytes file = support::encodePng(pixels, w, h);
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&image, file.data(), file.size())) << image.message << " " << what;
    EXPECT_EQ(image.width, unsigned(w)) << what;
    EXPECT_EQ(image.height, unsigned(h)) << what;
    EXPECT_EQ(image.format & PNG_FORMAT_FLAG_ALPHA, unsigned(PNG_FORMAT_FLAG_ALPHA)) << what;
    image.format = PNG_FORMAT_BGRA;
    std::vector<uint32_t> back(std::size_t(w) * h, 0);
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, back.data(), w * 4, nullptr)) << image.message << " " << what;
    EXPECT_EQ(std::memcmp(back.data(), pixels, back.size() * 4), 0) << what;
}

TEST(Png, EdgeSizesAndPatternsDecodeToTheSamePixels) {
    std::mt19937 rng(5);
    const int sizes[][2] = {{1, 1}, {1, 7}, {7, 1}, {3, 5}, {2, 2}, {17, 9}, {1600, 3}, {64, 300}};
    for (const auto& s : sizes) {
        const int w = s[0], h = s[1];
        const std::size_t n = std::size_t(w) * h;
        std::vector<uint32_t> noise(n), flat(n, 0xFF0B1328u), stripes(n), alpha(n);
        for (uint32_t& p : noise) p = rng();
        for (std::size_t i = 0; i < n; ++i) {
            stripes[i] = (i / w) % 2 != 0 ? 0xFF000000u | rng() : 0x80FFFFFFu;  // rows all differ
            alpha[i] = (i % 5 == 0) ? 0x00000000u : (i % 7 == 0 ? 0x01020304u : 0xFFFFFFFFu);
        }
        const std::string size = std::to_string(w) + "x" + std::to_string(h);
        expectDecodesTo(noise.data(), w, h, "noise " + size);
        expectDecodesTo(flat.data(), w, h, "flat " + size);
        expectDecodesTo(stripes.data(), w, h, "stripes " + size);
        expectDecodesTo(alpha.data(), w, h, "alpha " + size);
    }
}

// Canvas frames of random rectangles (translucent, clipped, fractional edges): the same pixels
// back, in a small file; a whole canvas of noise still decodes and is not much larger than
// its raw data (4 bytes a pixel and a filter byte a row).
TEST(Png, CanvasFramesSmallAndNoiseBounded) {
    std::mt19937 rng(9);
    for (int frame = 0; frame < 4; ++frame) {
        lumen::Canvas canvas;
        for (int i = 0; i < 40; ++i)
            canvas.fillRect(double(rng() % 1800) - 100 + 0.25 * (rng() % 4), double(rng() % 1000) - 50,
                            rng() % 700, rng() % 700, (rng() % 256) / 255.0, (rng() % 256) / 255.0,
                            (rng() % 256) / 255.0, i % 3 == 0 ? 1.0 : 0.6);
        expectDecodesTo(canvas.pixels(), lumen::Canvas::kWidth, lumen::Canvas::kHeight, "frame");
        const std::size_t raw = std::size_t(lumen::Canvas::kWidth * 4 + 1) * lumen::Canvas::kHeight;
        EXPECT_LT(support::encodePng(canvas.pixels(), lumen::Canvas::kWidth, lumen::Canvas::kHeight).size(),
                  raw / 100);
    }
    std::vector<uint32_t> noise(std::size_t(lumen::Canvas::kWidth) * lumen::Canvas::kHeight);
    for (uint32_t& p : noise) p = rng();
    expectDecodesTo(noise.data(), lumen::Canvas::kWidth, lumen::Canvas::kHeight, "noise canvas");
    const std::size_t raw = noise.size() * 4 + lumen::Canvas::kHeight;
    EXPECT_LT(support::encodePng(noise.data(), lumen::Canvas::kWidth, lumen::Canvas::kHeight).size(),
              raw + raw / 50);
}

// ---- LZW ----------------------------------------------------------------------------------

// The LzwWriter's data of `indices` given in pieces of `piece`, within the writer's bound;
// giflib's reading of it must give them back, both as a viewer reads a one-image GIF of w x h
// around it and strictly, to the end code and what follows it.
void expectLzwRoundTrip(const Bytes& indices, int w, int h, std::size_t piece, const std::string& what) {
    const std::size_t bound = lumen::LzwWriter::bound(indices.size());
    Bytes data(bound);
    auto lzw = std::make_unique<lumen::LzwWriter>();
    lzw->begin(data.data());
    for (std::size_t at = 0; at < indices.size(); at += piece)
        lzw->add(indices.data() + at, std::min(piece, indices.size() - at));
    const uint8_t* end = lzw->end();
    ASSERT_LE(std::size_t(end - data.data()), bound) << what;
    data.resize(std::size_t(end - data.data()));
    Bytes strict;
    EXPECT_TRUE(support::readGifLzw(data.data(), data.data() + data.size(), strict)) << what;
    EXPECT_EQ(strict, indices) << what;

    const Bytes file = support::gifAround(data.data(), data.data() + data.size(), w, h);
    support::GifReader reader(file);
    ASSERT_NE(reader.gif(), nullptr) << reader.error();
    ASSERT_EQ(DGifSlurp(reader.gif()), GIF_OK) << reader.error() << " " << what;
    ASSERT_EQ(reader.gif()->ImageCount, 1);
    const SavedImage& image = reader.gif()->SavedImages[0];
    EXPECT_EQ(Bytes(image.RasterBits, image.RasterBits + indices.size()), indices) << what;
}

// The strict reading fails where a writer went wrong: a byte after the end code in its
// sub-block, a sub-block after that one, the end code cut short.
TEST(Lzw, StrictReadingRefusesWhatFollowsOrLacksTheEndCode) {
    Bytes data(lumen::LzwWriter::bound(3));
    auto lzw = std::make_unique<lumen::LzwWriter>();
    lzw->begin(data.data());
    const Bytes indices = {1, 2, 3};
    lzw->add(indices.data(), indices.size());
    data.resize(std::size_t(lzw->end() - data.data()));
    ASSERT_EQ(data.size(), std::size_t{2} + data[1] + 1);  // code size, one sub-block, the empty one
    Bytes out;
    ASSERT_TRUE(support::readGifLzw(data.data(), data.data() + data.size(), out));
    EXPECT_EQ(out, indices);

    Bytes stray = data, block = data, cut = data;
    stray.insert(stray.end() - 1, 0);
    ++stray[1];
    block.insert(block.end() - 1, {1, 0});
    cut.erase(cut.end() - 2);
    --cut[1];
    const Bytes* bad[] = {&stray, &block, &cut};
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_FALSE(support::readGifLzw(bad[i]->data(), bad[i]->data() + bad[i]->size(), out)) << i;
}

TEST(Lzw, RoundTripsRunsNoiseAndFullTables) {
    std::mt19937 rng(3);
    const int w = 800, h = 450;
    const std::size_t n = std::size_t(w) * h;
    Bytes noise(n), runs(n), flat(n, 252), few(n);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(rng());
    // Runs of random lengths (1 to 5000) of random indices, some of them repeats of the last.
    for (std::size_t i = 0; i < n;) {
        const std::size_t len = std::min<std::size_t>(1 + rng() % (rng() % 4 == 0 ? 5000 : 40), n - i);
        const uint8_t v = static_cast<uint8_t>(rng() % 6);
        std::fill(runs.begin() + long(i), runs.begin() + long(i + len), v);
        i += len;
    }
    for (std::size_t i = 0; i < n; ++i) few[i] = static_cast<uint8_t>((i / 3 + i / w) % 3);
    for (std::size_t piece : {std::size_t(w), std::size_t(1), std::size_t(777), n}) {
        expectLzwRoundTrip(noise, w, h, piece, "noise");
        expectLzwRoundTrip(runs, w, h, piece, "runs");
        expectLzwRoundTrip(flat, w, h, piece, "flat");
        expectLzwRoundTrip(few, w, h, piece, "few");
    }
    // The smallest images, and a run as long as a table can hold.
    expectLzwRoundTrip(Bytes{7}, 1, 1, 1, "1x1");
    expectLzwRoundTrip(Bytes{7, 7}, 2, 1, 1, "2x1");
    expectLzwRoundTrip(Bytes{0, 255, 0}, 3, 1, 3, "3x1");
    expectLzwRoundTrip(Bytes(4000 * 4000 / 16, 9), 1000, 1000, 1000, "one long run");
}

// Indices that alternate make one code each, so the codes' count lands exactly on the widths'
// steps (255 codes: the end code is the first of 10 bits) and on the full table (3838 codes).
TEST(Lzw, CodeWidthStepsAndFullTableAtTheEnd) {
    for (std::size_t n : {1u, 2u, 254u, 255u, 256u, 511u, 767u, 768u, 1791u, 1792u, 3837u, 3838u,
                          3839u, 3840u, 7676u, 7677u}) {
        Bytes alternate(n);
        for (std::size_t i = 0; i < n; ++i) alternate[i] = static_cast<uint8_t>(i % 2 == 0 ? 3 : 200);
        expectLzwRoundTrip(alternate, int(n), 1, n, "alternating " + std::to_string(n));
    }
}

}  // namespace

namespace {

// The data of `rows` given row by row in the way `way`; `refused` counts repeatRow()'s refusals.
Bytes lzwOfRows(const std::vector<Bytes>& rows, support::RowWay way, int* refused = nullptr) {
    std::size_t total = 0;
    for (const Bytes& r : rows) total += r.size();
    Bytes out(lumen::LzwWriter::bound(total));
    auto lzw = std::make_unique<lumen::LzwWriter>();
    lzw->begin(out.data());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const bool likeAbove = r > 0 && rows[r] == rows[r - 1];
        if (support::giveLzwRow(*lzw, rows[r].data(), rows[r].size(), likeAbove, way) && refused != nullptr) ++*refused;
    }
    out.resize(std::size_t(lzw->end() - out.data()));
    return out;
}

}  // namespace

// A repeated row, or one given partly by fill(), gives the data of adding it again, byte for
// byte: rows of runs that join the row before's last run, noise, and rows of more runs than the
// writer keeps (whose repeat is refused); and it reads back.
TEST(Lzw, RepeatedRowsGiveTheDataOfAddingThem) {
    std::mt19937 rng(3);
    Bytes runs(700), noise(700), many(3000), flat(700, 4);
    for (std::size_t i = 0; i < runs.size(); ++i) runs[i] = uint8_t(i / 37 % 5 == 0 ? 4 : 1 + i / 91);
    for (auto& v : noise) v = uint8_t(rng());
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = uint8_t(i % 2 ? 9 : rng() % 3);
    const std::vector<std::vector<Bytes>> images = {
        {runs, runs, runs, flat, flat, runs, runs},
        {noise, noise, noise, runs, runs},
        {many, many, many, flat, many, many},
        {flat, flat, flat, flat, flat, flat, flat, flat, flat, flat, flat, flat},
    };
    for (std::size_t k = 0; k < images.size(); ++k) {
        const Bytes added = lzwOfRows(images[k], support::RowWay::Add);
        int refused = 0;
        EXPECT_EQ(lzwOfRows(images[k], support::RowWay::Repeat, &refused), added) << k;
        EXPECT_EQ(lzwOfRows(images[k], support::RowWay::FillAndAdd), added) << k;
        EXPECT_EQ(refused, k == 2 ? 3 : 0) << k;  // `many` repeated three times
        Bytes all;
        for (const Bytes& r : images[k]) all.insert(all.end(), r.begin(), r.end());
        Bytes back;
        EXPECT_TRUE(support::readGifLzw(added.data(), added.data() + added.size(), back)) << k;
        EXPECT_EQ(back, all) << k;
    }
}
