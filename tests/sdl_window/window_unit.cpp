// The window backends' display-free parts (lumen/pixels/letterbox.h, lumen/pixels/icon.h): where the canvas lies in
// the window, how the pointer maps back to canvas px, the first window size, and the .ico decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "pixels/icon.h"
#include "run/input.h"
#include "pixels/letterbox.h"
#include "support/xserver.h"

namespace {

using lumen::IconImage;
using lumen::Letterbox;

void expectBox(const Letterbox& b, int x, int y, int w, int h) {
    EXPECT_EQ(b.x, x);
    EXPECT_EQ(b.y, y);
    EXPECT_EQ(b.w, w);
    EXPECT_EQ(b.h, h);
}

TEST(Letterbox, FitsTheLargest16By9RectangleCentred) {
    expectBox(lumen::letterbox(1600, 900), 0, 0, 1600, 900);
    expectBox(lumen::letterbox(3200, 1800), 0, 0, 3200, 1800);
    expectBox(lumen::letterbox(1000, 450), 100, 0, 800, 450);    // bars left and right
    expectBox(lumen::letterbox(800, 900), 0, 225, 800, 450);     // bars above and below
}

TEST(Letterbox, OddAndDegenerateSizes) {
    // 1001 x 451: width-limited height would be 563, so height-limited: 802 x 451, centred.
    expectBox(lumen::letterbox(1001, 451), 99, 0, 802, 451);
    // Rounded to the nearest pixel, never larger than the drawable.
    const Letterbox b = lumen::letterbox(1599, 900);
    EXPECT_EQ(b.w, 1599);
    EXPECT_EQ(b.h, 899);  // 1599 * 900 / 1600 = 899.4
    EXPECT_EQ(b.y, 0);
    expectBox(lumen::letterbox(1, 1), 0, 0, 1, 1);
    expectBox(lumen::letterbox(0, 900), 0, 0, 0, 0);
    expectBox(lumen::letterbox(1600, -1), 0, 0, 0, 0);
}

// Where windowToCanvas puts a pointer: at (wx, wy) points in a window of ww x wh points whose
// drawable is dw x dh px, the canvas point (x, y); exact unless `near` (within a few ulps).
struct Pointer {
    double wx, wy;
    int ww, wh, dw, dh;
    double x, y;
    const char* what;
    bool near = false;
};

void expectPointers(const std::vector<Pointer>& cases) {
    for (const Pointer& c : cases) {
        double x = -1, y = -1;
        lumen::windowToCanvas(c.wx, c.wy, c.ww, c.wh, c.dw, c.dh, x, y);
        if (c.near) {
            EXPECT_DOUBLE_EQ(x, c.x) << c.what;
            EXPECT_DOUBLE_EQ(y, c.y) << c.what;
        } else {
            EXPECT_EQ(x, c.x) << c.what;
            EXPECT_EQ(y, c.y) << c.what;
        }
    }
}

TEST(PointerMapping, OneToOneIsExactAndHighDensityChangesNothing) {
    expectPointers({
        {300, 500, 1600, 900, 1600, 900, 300.0, 500.0, "one to one"},
        {300, 500, 1600, 900, 3200, 1800, 300.0, 500.0, "twice the pixels per point: the same place"},
        {150, 250, 800, 450, 800, 450, 300.0, 500.0, "half the size: points count double"},
        {1, 1, 1200, 675, 1200, 675, 4.0 / 3.0, 4.0 / 3.0, "fractional scale 0.75", true},
    });
}

TEST(PointerMapping, LetterboxedAndOutsideTheCanvasIsNotClamped) {
    expectPointers({
        {250, 250, 1000, 450, 1000, 450, 300.0, 500.0, "canvas at x 100, scale 0.5"},
        {50, 0, 1000, 450, 1000, 450, -100.0, 0.0, "in the left bar"},
        {990, 449, 1000, 450, 1000, 450, 1780.0, 898.0, "in the right bar"},
        {-20, 1000, 1600, 900, 1600, 900, -20.0, 1000.0, "outside the window"},
        {400, 350, 800, 900, 1600, 1800, 800.0, 250.0, "high density with bars: 800 x 900 points, 1600 x 1800 px"},
    });
}

TEST(PointerMapping, NoWindowSizeGivesTheOrigin) {
    expectPointers({{10, 10, 0, 0, 0, 0, 0.0, 0.0, "no size"}});
}

TEST(InitialWindowSize, OneToOneWhenItFitsElseTheLargest16By9) {
    // The usable area, then the window (points).
    const int cases[][4] = {
        {1920, 1080, 1600, 900},
        {3840, 2160, 1600, 900},                             // never larger than the canvas
        {1366, 768, (768 - 80) * 1600 / 900, 768 - 80},      // height-limited after the frame's room
        {1280, 1024, 1280 - 32, (1280 - 32) * 900 / 1600},   // width-limited
        {100, 60, 160, 90},                                  // a floor of 160 x 90
    };
    for (const auto& c : cases) {
        int w = 0, h = 0;
        lumen::initialWindowSize(c[0], c[1], w, h);
        EXPECT_EQ(w, c[2]) << c[0] << " x " << c[1];
        EXPECT_EQ(h, c[3]) << c[0] << " x " << c[1];
        if (c[0] >= 160) {
            EXPECT_LE(w, c[0]) << c[0] << " x " << c[1];
        }
    }
}

// ---- .ico decoding ------------------------------------------------------------------------------

struct Entry {
    int size;           // width = height, px
    int bitCount = 32;
    bool png = false;
    bool alpha = true;  // false: every alpha byte 0 (the AND mask decides)
    int truncate = 0;   // bytes cut from the image's end
};

void put(std::vector<uint8_t>& b, std::size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// Pixel (x, y), y from the top, of an entry of `size`: unique per position and size.
uint32_t colourAt(int size, int x, int y, bool alpha) {
    const uint32_t a = alpha ? 0x80u + static_cast<uint32_t>(x % 2) : 0u;
    return a << 24 | static_cast<uint32_t>(size) << 16 | static_cast<uint32_t>(y) << 8 | static_cast<uint32_t>(x);
}

std::vector<uint8_t> makeIco(const std::vector<Entry>& entries, uint16_t type = 1) {
    std::vector<uint8_t> out(6 + 16 * entries.size(), 0);
    put(out, 2, type, 2);
    put(out, 4, static_cast<uint32_t>(entries.size()), 2);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        std::vector<uint8_t> image;
        if (e.png) {
            image.assign(64, 0);
            std::memcpy(image.data(), "\x89PNG\r\n\x1a\n", 8);
        } else {
            const int n = e.size;
            const std::size_t stride = static_cast<std::size_t>((n + 31) / 32 * 4);
            image.assign(40 + static_cast<std::size_t>(n * n * e.bitCount / 8) + stride * static_cast<std::size_t>(n), 0);
            put(image, 0, 40, 4);
            put(image, 4, static_cast<uint32_t>(n), 4);
            put(image, 8, static_cast<uint32_t>(2 * n), 4);
            put(image, 12, 1, 2);
            put(image, 14, static_cast<uint32_t>(e.bitCount), 2);
            if (e.bitCount == 32) {
                for (int y = 0; y < n; ++y) {
                    for (int x = 0; x < n; ++x) {
                        // Bottom-up: the file's first row is the picture's last.
                        put(image, 40 + static_cast<std::size_t>(((n - 1 - y) * n + x) * 4), colourAt(n, x, y, e.alpha), 4);
                    }
                }
                // AND mask: the top-left pixel is transparent.
                const std::size_t maskAt = 40 + static_cast<std::size_t>(n * n * 4);
                image[maskAt + stride * static_cast<std::size_t>(n - 1)] = 0x80;
            }
            image.resize(image.size() - static_cast<std::size_t>(e.truncate));
        }
        const std::size_t entryAt = 6 + 16 * i;
        out[entryAt] = static_cast<uint8_t>(e.size);
        out[entryAt + 1] = static_cast<uint8_t>(e.size);
        put(out, entryAt + 4, 1, 2);
        put(out, entryAt + 6, static_cast<uint32_t>(e.bitCount), 2);
        put(out, entryAt + 8, static_cast<uint32_t>(image.size()), 4);
        put(out, entryAt + 12, static_cast<uint32_t>(out.size()), 4);
        out.insert(out.end(), image.begin(), image.end());
    }
    return out;
}

IconImage decode(const std::vector<uint8_t>& ico, bool& ok) {
    IconImage image;
    ok = lumen::decodeIcon(ico.data(), ico.size(), 64, image);
    return image;
}

TEST(IconDecode, PicksSixtyFourElseTheLargest) {
    bool ok = false;
    IconImage i = decode(makeIco({{16}, {128}, {64}, {48}}), ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(i.width, 64);
    EXPECT_EQ(i.height, 64);
    i = decode(makeIco({{16}, {48}, {32}}), ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(i.width, 48);
    i = decode(makeIco({{64}, {128}}), ok);  // 64 first, a larger one after it
    ASSERT_TRUE(ok);
    EXPECT_EQ(i.width, 64);
}

TEST(IconDecode, RowsTopFirstInCanvasPixelOrder) {
    bool ok = false;
    const IconImage i = decode(makeIco({{32}}), ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(i.pixels.size(), 32u * 32u);
    for (int y : {0, 1, 31}) {
        for (int x : {0, 5, 31}) {
            EXPECT_EQ(i.pixels[static_cast<std::size_t>(y * 32 + x)], colourAt(32, x, y, true)) << x << ", " << y;
        }
    }
}

TEST(IconDecode, WithoutAlphaTheAndMaskDecides) {
    bool ok = false;
    const IconImage i = decode(makeIco({{Entry{16, 32, false, false}}}), ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(i.pixels[0] >> 24, 0u);      // masked: transparent
    EXPECT_EQ(i.pixels[1] >> 24, 0xFFu);   // the rest opaque
    EXPECT_EQ(i.pixels[1] & 0xFFFFFFu, colourAt(16, 1, 0, false));
    EXPECT_EQ(i.pixels[16 * 16 - 1] >> 24, 0xFFu);
}

TEST(IconDecode, SkipsPngOtherDepthsAndBrokenEntries) {
    bool ok = false;
    IconImage i = decode(makeIco({{Entry{64, 32, true}}, {Entry{48, 24}}, {32}}), ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(i.width, 32);
    // A 64 px entry cut short (its mask and some pixels missing) does not count.
    i = decode(makeIco({{Entry{64, 32, false, true, 64 * 4 + 8 * 64}}, {16}}), ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(i.width, 16);
    // Only the mask missing: the pixels still serve.
    i = decode(makeIco({{Entry{64, 32, false, true, 8 * 64}}}), ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(i.width, 64);
    decode(makeIco({{Entry{64, 32, true}}, {Entry{32, 8}}}), ok);
    EXPECT_FALSE(ok);
}

TEST(IconDecode, RejectsWhatIsNotAWholeIconFile) {
    bool ok = true;
    decode({}, ok);
    EXPECT_FALSE(ok);
    decode(makeIco({{32}}, 2), ok);  // a cursor file
    EXPECT_FALSE(ok);
    std::vector<uint8_t> ico = makeIco({{32}, {16}});
    ico.resize(6 + 16);  // the table cut inside the second entry
    decode(ico, ok);
    EXPECT_FALSE(ok);
    ico = makeIco({{32}});
    put(ico, 6 + 12, 0xFFFFFFF0u, 4);  // the image's offset far past the end
    decode(ico, ok);
    EXPECT_FALSE(ok);
    ico = makeIco({{32}});
    put(ico, 6 + 8, 0xFFFFFFFFu, 4);  // a length that wraps
    decode(ico, ok);
    EXPECT_FALSE(ok);
    ico = makeIco({{32}});
    put(ico, 6 + 16 + 8, 0x40000000u, 4);  // a huge height in the bitmap header
    decode(ico, ok);
    EXPECT_FALSE(ok);
}

TEST(IconDecode, TheProgramsIconGivesItsSixtyFourPixelPicture) {
    std::ifstream in(STACKRISE_SOURCE_DIR "/resources/stackrise.ico", std::ios::binary);
    const std::vector<uint8_t> ico((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(ico.size(), 1000u);
    bool ok = false;
    const IconImage i = decode(ico, ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(i.width, 64);
    int w = 0;
    int h = 0;
    std::vector<uint32_t> png;
    ASSERT_TRUE(wintest::readPng(STACKRISE_SOURCE_DIR "/resources/icon-64.png", w, h, png));
    ASSERT_EQ(png.size(), i.pixels.size());
    for (std::size_t k = 0; k < png.size(); ++k) {
        if ((png[k] >> 24) == 0) {
            ASSERT_EQ(i.pixels[k] >> 24, 0u) << k;
        } else {
            ASSERT_EQ(i.pixels[k], png[k]) << k;
        }
    }
}

}  // namespace

// What a window backend reads from its input queue to capture the pointer: the buttons as the
// system last delivered them, whether or not poll() has taken those changes yet.
TEST(InputQueueHeld, FollowsTheLastDeliveredChangeOfEachButton) {
    lumen::InputQueue q;
    EXPECT_FALSE(q.anyHeld());
    q.pointer(10.0, 20.0);
    q.button(0, true);  // where the pointer last was
    EXPECT_TRUE(q.held(0));
    EXPECT_FALSE(q.held(1));
    EXPECT_TRUE(q.anyHeld());
    q.button(1, true, 30.0, 40.0);
    q.button(0, false);
    EXPECT_FALSE(q.held(0));
    EXPECT_TRUE(q.held(1));
    EXPECT_FALSE(q.held(2));
    lumen::InputState s;
    q.take(s);  // left went down and up: down in this frame, the release waits
    EXPECT_TRUE(s.down[0]);
    EXPECT_TRUE(s.down[1]);
    EXPECT_DOUBLE_EQ(s.x, 30.0);
    EXPECT_DOUBLE_EQ(s.y, 40.0);
    EXPECT_FALSE(q.held(0));
    q.take(s);
    EXPECT_FALSE(s.down[0]);
    EXPECT_TRUE(s.down[1]);
    q.button(1, false);
    EXPECT_FALSE(q.anyHeld());
    q.button(0, true);
    q.clear();
    EXPECT_FALSE(q.anyHeld());
}
