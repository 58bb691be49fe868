// The blend paths against the contract's integer formula: exhaustively over (s, a, d), on spans
// of every length and alignment, and on whole canvases of random rectangles.
#include "pixels/canvas.h"
#include "run/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using lumen::blendChannel;
using lumen::Canvas;
using lumen::SimdPath;


TEST(BlendFormula, KeepsItsDefiningProperties) {
    for (unsigned s = 0; s < 256; ++s)
        for (unsigned d = 0; d < 256; ++d) {
            ASSERT_EQ(blendChannel(s, 0, d), d);
            ASSERT_EQ(blendChannel(s, 255, d), s);
            for (unsigned a = 0; a < 256; a += 15) {
                const unsigned v = blendChannel(s, a, d);
                ASSERT_GE(v, std::min(s, d));
                ASSERT_LE(v, std::max(s, d));
            }
        }
    EXPECT_EQ(blendChannel(255, 204, 11), 206u);  // 52708 / 255
}

class BlendPath : public testing::TestWithParam<SimdPath> {
protected:
    void SetUp() override {
        if (!lumen::simdPathSupported(GetParam())) GTEST_SKIP() << "path not supported here";
    }
};

// Every (s, a, d): a row of 256 pixels whose channels run through d in different orders, at an
// odd address so that head, vector body and tail all take part.
TEST_P(BlendPath, ExhaustiveAgainstFormula) {
    std::vector<uint32_t> buffer(256 + 8);
    uint32_t* row = buffer.data() + 3;
    long mismatches = 0;
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned s = 0; s < 256; ++s) {
            for (unsigned i = 0; i < 256; ++i) {
                const unsigned b = i, g = 255 - i, r = (i * 7 + 3) & 255, al = (i * 13) & 255;
                row[i] = b | (g << 8) | (r << 16) | (al << 24);
            }
            // Different source bytes per channel: s for blue, a rotation for green and red.
            const unsigned sb = s, sg = (s + 85) & 255, sr = (s * 3) & 255;
            lumen::blendSpan(row, 256, lumen::makeBlendColor(sr, sg, sb, a), GetParam());
            for (unsigned i = 0; i < 256; ++i) {
                const unsigned b = i, g = 255 - i, r = (i * 7 + 3) & 255, al = (i * 13) & 255;
                const uint32_t want = blendChannel(sb, a, b) | (blendChannel(sg, a, g) << 8) |
                                      (blendChannel(sr, a, r) << 16) |
                                      (blendChannel(255, a, al) << 24);
                if (row[i] != want && mismatches++ < 5)
                    ADD_FAILURE() << "s " << s << " a " << a << " d " << i << ": got " << std::hex
                                  << row[i] << " want " << want;
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(buffer[2], 0u);  // nothing written outside the span
    EXPECT_EQ(buffer[3 + 256], 0u);
}

TEST_P(BlendPath, SpansOfEveryLengthAndAlignment) {
    std::mt19937 rng(7);
    std::vector<uint32_t> base(128), want(128), got(128);
    for (uint32_t& p : base) p = rng();
    for (unsigned offset = 0; offset < 16; ++offset)
        for (unsigned length = 0; length + offset <= 112; ++length) {
            const lumen::BlendColor c = lumen::makeBlendColor(rng() & 255, rng() & 255, rng() & 255,
                                                              1 + rng() % 254);
            want = base;
            got = base;
            lumen::blendSpan(want.data() + offset, length, c, SimdPath::Scalar);
            lumen::blendSpan(got.data() + offset, length, c, GetParam());
            ASSERT_EQ(got, want) << "offset " << offset << " length " << length;
        }
}

// Whole canvases: random rectangles (fractional, clipped, opaque, invisible) on this path and
// on the scalar path give the same buffer, written at once or composited.
TEST_P(BlendPath, RandomRectanglesMatchScalarCanvas) {
    for (bool deferred : {false, true}) {
        SCOPED_TRACE(deferred ? "composited" : "immediate");
        auto reference = std::make_unique<Canvas>(SimdPath::Scalar, false);
        auto canvas = std::make_unique<Canvas>(GetParam(), deferred);
        std::mt19937_64 rng(12345);
        std::uniform_real_distribution<double> pos(-300.0, 1900.0), size(-20.0, 900.0),
            unit(-0.1, 1.1);
        for (int frame = 0; frame < 3; ++frame) {
            reference->clear();
            canvas->clear();
            for (int i = 0; i < 120; ++i) {
                const double alpha = i % 10 == 0 ? 1.0 : unit(rng);
                const double v[8] = {pos(rng), pos(rng) * 0.5, size(rng) * 2, size(rng), unit(rng),
                                     unit(rng), unit(rng), alpha};
                reference->fillRect(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
                canvas->fillRect(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
            }
            ASSERT_EQ(std::memcmp(reference->pixels(), canvas->pixels(),
                                  sizeof(uint32_t) * Canvas::kWidth * Canvas::kHeight),
                      0)
                << "frame " << frame;
        }
    }
}

// Lazy compositing against immediate scalar blending, through everything that ends or
// overflows a pending list: more fills than the list holds, reads in mid-frame followed by more
// fills, clears in mid-frame, switching the mode, and frames of towers like the town draws.
TEST_P(BlendPath, CompositedFramesMatchImmediateOnes) {
    auto reference = std::make_unique<Canvas>(SimdPath::Scalar, false);
    auto canvas = std::make_unique<Canvas>(GetParam(), true);
    std::mt19937_64 rng(99);
    auto same = [&](const char* when, int frame) {
        ASSERT_EQ(std::memcmp(reference->pixels(), canvas->pixels(),
                              sizeof(uint32_t) * Canvas::kWidth * Canvas::kHeight),
                  0)
            << when << " in frame " << frame;
    };
    for (int frame = 0; frame < 12; ++frame) {
        reference->clear();
        canvas->clear();
        const int count = frame % 4 == 3 ? Canvas::kReservedFills + 25 : int(rng() % 40);
        for (int i = 0; i < count; ++i) {
            // Towers: whole-pixel or fractional edges, mostly 0.8, some opaque and clipped.
            const double x = double(rng() % 1700) - 50 + (frame % 2 ? 0.3 * double(rng() % 4) : 0);
            const double y = double(rng() % 1000) - 40;
            const double w = double(rng() % 600);
            const double h = double(rng() % 950);
            const double alpha = i % 7 == 0 ? 1.0 : i % 5 == 0 ? 0.35 : 0.8;
            const double r = double(rng() % 256) / 255, g = double(rng() % 256) / 255,
                         b = double(rng() % 256) / 255;
            reference->fillRect(x, y, w, h, r, g, b, alpha);
            canvas->fillRect(x, y, w, h, r, g, b, alpha);
            if (frame == 5 && i == count / 2) same("mid-frame read", frame);
        }
        same("end", frame);
        if (frame == 8) {
            canvas->setDeferred(false);
            EXPECT_FALSE(canvas->deferred());
        }
        if (frame == 10) canvas->setDeferred(true);
    }
    reference->clear();
    canvas->clear();
    same("clear", 12);
}

INSTANTIATE_TEST_SUITE_P(AllPaths, BlendPath, testing::ValuesIn(lumen::kSimdPaths),
                         [](const testing::TestParamInfo<SimdPath>& info) {
                             return std::string(lumen::simdPathName(info.param));
                         });

TEST(SimdSelection, ForcingAnUnsupportedPathFallsBack) {
    Canvas canvas(SimdPath::Scalar);
    EXPECT_EQ(canvas.simdPath(), SimdPath::Scalar);
    for (SimdPath p : lumen::kSimdPaths) {
        const SimdPath used = canvas.setSimdPath(p);
        EXPECT_TRUE(lumen::simdPathSupported(used));
        EXPECT_LE(static_cast<int>(used), static_cast<int>(p));
        if (lumen::simdPathSupported(p)) {
            EXPECT_EQ(used, p);
        }
    }
    EXPECT_TRUE(lumen::simdPathSupported(SimdPath::Scalar));
    EXPECT_STREQ(lumen::simdPathName(SimdPath::Avx2), "avx2");
}

// Run by CTest with LUMEN_SIMD set (see CMakeLists.txt); without it, expects the widest path.
// The session parses the variable with the others and hands the canvas its path.
TEST(SimdEnvironment, DefaultPathHonoursLumenSimd) {
    const char* env = std::getenv("LUMEN_SIMD");
    SimdPath best = SimdPath::Scalar;
    for (SimdPath p : lumen::kSimdPaths)
        if (lumen::simdPathSupported(p)) best = p;
    SimdPath want = best;
    if (env != nullptr)
        for (SimdPath p : lumen::kSimdPaths)
            if (std::strcmp(env, lumen::simdPathName(p)) == 0 && lumen::simdPathSupported(p))
                want = p;
    const lumen::RunSettings run = lumen::parseSettings(lumen::Settings::fromEnvironment());
    const SimdPath chosen = lumen::simdPathFor(run.simd);
    EXPECT_EQ(chosen, want) << "LUMEN_SIMD=" << (env ? env : "(unset)");
    EXPECT_EQ(Canvas(chosen).simdPath(), want);
}

}  // namespace
