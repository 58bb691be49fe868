// The canvas's coverage rule, clipping and blend values, on every blend path.
#include "pixels/canvas.h"
#include "support/fp_mode.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace {

using lumen::Canvas;
using lumen::coveredSpan;
using lumen::SimdPath;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr uint32_t kBg = Canvas::kBackground;
constexpr uint32_t kWhite = 0xFFFFFFFFu;

void expectSpan(double origin, double size, int first, int last) {
    const lumen::PixelSpan s = coveredSpan(origin, size, 1600);
    const bool empty = first == last;
    if (empty) {
        EXPECT_EQ(s.first, s.last) << "origin " << origin << " size " << size;
    } else {
        EXPECT_EQ(s.first, first) << "origin " << origin << " size " << size;
        EXPECT_EQ(s.last, last) << "origin " << origin << " size " << size;
    }
}

TEST(CoveredSpan, PixelCentresDecideCoverage) {
    expectSpan(10.5, 5, 10, 15);        // centre 10.5 is the left edge: covered
    expectSpan(10.6, 5, 11, 16);        // 10.5 < 10.6: column 10 left out
    expectSpan(std::nextafter(10.5, 0.0), 5, 10, 15);
    expectSpan(10.75, 4.75, 11, 15);    // end 15.5 is exclusive: column 15 left out
    expectSpan(0.75, 4.75, 1, 5);
    expectSpan(0.75, std::nextafter(4.75, 5.0), 1, 6);  // end just past centre 5.5
    expectSpan(10.0, 1.0, 10, 11);      // whole-pixel rectangle covers exactly one column
    expectSpan(10.2, 0.5, 10, 11);      // thin, but straddles centre 10.5
    expectSpan(10.6, 0.3, 0, 0);        // thin and between centres
    expectSpan(0.0, 0.5, 0, 0);         // [0, 0.5) misses centre 0.5
    expectSpan(0.0, std::nextafter(0.5, 1.0), 0, 1);
    // The end is x + w rounded to nearest: 0.5 + 1e-300 is 0.5, which excludes centre 0.5.
    expectSpan(1e-300, 0.5, 0, 0);
    expectSpan(0.5000000000000001, 1599.0, 1, 1599);
    expectSpan(-1e20, 1e20 + 16384, 0, 1600);  // 1e20 + 16384 rounds, the sum stays >= 1600.5
}

TEST(CoveredSpan, ClipsAtBothEnds) {
    expectSpan(-5, 10, 0, 5);
    expectSpan(-0.5, 1, 0, 0);          // only column -1
    expectSpan(1595, 100, 1595, 1600);
    expectSpan(1599.5, 1, 1599, 1600);
    expectSpan(1600, 5, 0, 0);          // first centre is 1600.5
    expectSpan(-1e300, 1e308, 0, 1600);
    expectSpan(-DBL_MAX, kInf, 0, 1600);
    expectSpan(5, kInf, 5, 1600);
    expectSpan(-kInf, 1e9, 0, 0);       // end is -inf
    expectSpan(1e300, 1e300, 0, 0);
    expectSpan(DBL_MAX, DBL_MAX, 0, 0);  // end overflows to inf, start past the edge
    expectSpan(-DBL_MAX, DBL_MAX, 0, 0);  // [-max, 0): no centre at or left of 0
    expectSpan(-1e20, 1e20 + 1e5, 0, 1600);
}

TEST(CoveredSpan, NothingForEmptyOrUndefined) {
    expectSpan(kNaN, 10, 0, 0);
    expectSpan(10, kNaN, 0, 0);
    expectSpan(10, 0, 0, 0);
    expectSpan(10, -0.0, 0, 0);
    expectSpan(10, -5, 0, 0);
    expectSpan(10, -kInf, 0, 0);
    expectSpan(-kInf, kInf, 0, 0);      // -inf + inf has no value
    expectSpan(kInf, 1, 0, 0);
}

// A blend path, with fills written at once or composited lazily.
struct Mode {
    SimdPath path;
    bool deferred;
    const char* name;
};

void PrintTo(const Mode& mode, std::ostream* os) { *os << mode.name; }

// Bounds come out the same in every rounding mode (including ends where x + w rounds), and
// infinite or huge (non-NaN) arguments
// raise no invalid-operation flag (the program runs with that trap unmasked).
TEST(CoveredSpan, IndependentOfRoundingModeAndRaisesNoInvalid) {
    const double cases[][2] = {{10.5, 5},     {10.6, 5},       {0.75, 4.75}, {-0.5, 1},
                               {1599.5, 1},   {-1e300, 1e308}, {-kInf, kInf}, {kInf, kInf},
                               {-kInf, 1e9},  {DBL_MAX, DBL_MAX}, {5, kInf}, {1e-300, 0.5},
                               {-DBL_MIN, 0.5}, {0.5000000000000001, 1599.0},
                               {-1e-300, 0.5}, {0.1, 0.4}, {1e16, -1e16}, {-1e16, 1e16 + 3}};
    std::vector<lumen::PixelSpan> nearest;
    for (const auto& c : cases) nearest.push_back(coveredSpan(c[0], c[1], 1600));
    const test_support::RoundingScope keep;  // the test's mode is back however the test ends
    for (int mode : {FE_TOWARDZERO, FE_UPWARD, FE_DOWNWARD, FE_TONEAREST}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        std::feclearexcept(FE_ALL_EXCEPT);
        for (size_t i = 0; i < std::size(cases); ++i) {
            const lumen::PixelSpan s = coveredSpan(cases[i][0], cases[i][1], 1600);
            EXPECT_EQ(s.first, nearest[i].first) << "mode " << mode << " case " << i;
            EXPECT_EQ(s.last, nearest[i].last) << "mode " << mode << " case " << i;
        }
        EXPECT_FALSE(std::fetestexcept(FE_INVALID)) << "mode " << mode;
        EXPECT_EQ(std::fegetround(), mode);
    }
    // Channels whose c * 255 lies next to k + 0.5 round the same way in every mode.
    double channels[255][3];
    for (int k = 0; k < 255; ++k) {
        channels[k][0] = (k + 0.5) / 255;
        channels[k][1] = (k + 0.25) / 255;
        channels[k][2] = 1.0 - (k + 0.5) / 255;
    }
    Canvas reference;
    for (int k = 0; k < 255; ++k)
        reference.fillRect(k, 0, 1, 1, channels[k][0], channels[k][1], channels[k][2], 1);
    for (int mode : {FE_TOWARDZERO, FE_UPWARD, FE_DOWNWARD}) {
        Canvas canvas;
        ASSERT_EQ(std::fesetround(mode), 0);
        for (int k = 0; k < 255; ++k)
            canvas.fillRect(k, 0, 1, 1, channels[k][0], channels[k][1], channels[k][2], 1);
        EXPECT_EQ(std::fegetround(), mode);
        std::fesetround(FE_TONEAREST);
        for (int k = 0; k < 255; ++k)
            ASSERT_EQ(canvas.pixel(k, 0), reference.pixel(k, 0)) << "mode " << mode << " k " << k;
    }
    Canvas canvas;
    std::feclearexcept(FE_ALL_EXCEPT);
    canvas.fillRect(-kInf, -kInf, kInf, kInf, kInf, -kInf, 1e308, kInf);
    canvas.fillRect(-1e300, 0, 1e308, 1e308, 2, -1, 0.5, 1e300);
    canvas.pixels();
    EXPECT_FALSE(std::fetestexcept(FE_INVALID));
}

class CanvasTest : public testing::TestWithParam<Mode> {
protected:
    void SetUp() override {
        if (!lumen::simdPathSupported(GetParam().path)) GTEST_SKIP() << "path not supported here";
        canvas = std::make_unique<Canvas>(GetParam().path, GetParam().deferred);
        ASSERT_EQ(canvas->simdPath(), GetParam().path);
        ASSERT_EQ(canvas->deferred(), GetParam().deferred);
    }
    uint32_t at(int x, int y) const { return canvas->pixel(x, y); }
    // Pixels that differ from the background.
    long changed() const {
        long n = 0;
        const uint32_t* p = canvas->pixels();
        for (long i = 0; i < long(Canvas::kWidth) * Canvas::kHeight; ++i) n += p[i] != kBg;
        return n;
    }
    // Pixels inside [x0, x1) x [y0, y1) equal `inside`, all others the background.
    void expectBox(int x0, int y0, int x1, int y1, uint32_t inside) const {
        long wrong = 0;
        for (int y = 0; y < Canvas::kHeight; ++y)
            for (int x = 0; x < Canvas::kWidth; ++x) {
                const bool in = x >= x0 && x < x1 && y >= y0 && y < y1;
                if (at(x, y) != (in ? inside : kBg)) {
                    if (wrong++ < 5)
                        ADD_FAILURE() << "pixel " << x << "," << y << " is " << std::hex << at(x, y);
                }
            }
        EXPECT_EQ(wrong, 0);
    }
    std::unique_ptr<Canvas> canvas;
};

TEST_P(CanvasTest, StartsAndClearsToOpaqueBackground) {
    EXPECT_EQ(kBg >> 24, 0xFFu);
    EXPECT_EQ(changed(), 0);
    canvas->fillRect(0, 0, 1600, 900, 1, 1, 1, 0.8);
    EXPECT_EQ(changed(), 1600L * 900);
    canvas->clear();
    EXPECT_EQ(changed(), 0);
}

TEST_P(CanvasTest, EdgesFollowTheCentreRule) {
    canvas->fillRect(10.5, 20.5, 5, 3, 1, 1, 1, 1);
    expectBox(10, 20, 15, 23, kWhite);
    canvas->clear();
    canvas->fillRect(10.6, 20.6, 4.9, 2.9, 1, 1, 1, 1);  // ends at 15.5 and 23.5, both exclusive
    expectBox(11, 21, 15, 23, kWhite);
}

TEST_P(CanvasTest, ClipsAtEverySideWithoutWrapping) {
    canvas->fillRect(-5, 100, 10, 2, 1, 1, 1, 1);
    expectBox(0, 100, 5, 102, kWhite);
    canvas->clear();
    canvas->fillRect(1595.2, 100, 100, 2, 1, 1, 1, 1);  // must not spill into row 101/102 col 0
    expectBox(1595, 100, 1600, 102, kWhite);
    canvas->clear();
    canvas->fillRect(700, -50, 3, 52.5, 1, 1, 1, 1);
    expectBox(700, 0, 703, 2, kWhite);
    canvas->clear();
    canvas->fillRect(700, 897.5, 3, 1e9, 1, 1, 1, 1);
    expectBox(700, 897, 703, 900, kWhite);
}

TEST_P(CanvasTest, HugeAndInfiniteRectanglesCoverOrSkip) {
    canvas->fillRect(-1e300, -1e300, 1e308, 1e308, 1, 1, 1, 1);
    EXPECT_EQ(changed(), 1600L * 900);
    canvas->clear();
    canvas->fillRect(0, 0, kInf, kInf, 1, 1, 1, 1);
    EXPECT_EQ(changed(), 1600L * 900);
    canvas->clear();
    canvas->fillRect(-kInf, 0, kInf, 10, 1, 1, 1, 1);   // width end undefined
    canvas->fillRect(1e300, 0, 10, 10, 1, 1, 1, 1);
    canvas->fillRect(0, -1e300, 10, 10, 1, 1, 1, 1);
    canvas->fillRect(kInf, kInf, kInf, kInf, 1, 1, 1, 1);
    canvas->fillRect(-kInf, -kInf, 1e308, 1e308, 1, 1, 1, 1);
    EXPECT_EQ(changed(), 0);
}

TEST_P(CanvasTest, NaNAndEmptyArgumentsDrawNothing) {
    const double good[8] = {10, 10, 20, 20, 1, 1, 1, 1};
    for (int i : {0, 1, 2, 3, 7}) {  // coordinates, sizes, alpha
        double a[8];
        std::copy(good, good + 8, a);
        a[i] = kNaN;
        canvas->fillRect(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
    }
    canvas->fillRect(10, 10, 0, 20, 1, 1, 1, 1);
    canvas->fillRect(10, 10, 20, -0.0, 1, 1, 1, 1);
    canvas->fillRect(10, 10, -20, 20, 1, 1, 1, 1);
    canvas->fillRect(10, 10, 20, -kInf, 1, 1, 1, 1);
    canvas->fillRect(10, 10, 20, 20, 1, 1, 1, 0.0);
    canvas->fillRect(10, 10, 20, 20, 1, 1, 1, 0.0019);  // round(0.48) = 0: no change
    canvas->fillRect(10, 10, 20, 20, 1, 1, 1, -3);
    canvas->fillRect(10, 10, 20, 20, 1, 1, 1, -kInf);
    EXPECT_EQ(changed(), 0);
}

TEST_P(CanvasTest, ChannelsAndAlphaClampAndNaNChannelIsZero) {
    canvas->fillRect(0, 0, 1, 1, 2, -1, kInf, 1);
    EXPECT_EQ(at(0, 0), 0xFFFF00FFu);
    canvas->fillRect(1, 0, 1, 1, kNaN, -kInf, 1e300, 7);
    EXPECT_EQ(at(1, 0), 0xFF0000FFu);
    canvas->fillRect(2, 0, 1, 1, 0.5, 0.25, 1.0 / 255, kInf);  // 127.5 -> 128, 63.75 -> 64
    EXPECT_EQ(at(2, 0), 0xFF804001u);
    canvas->fillRect(3, 0, 1, 1, 1, 1, 1, 0.0021);  // a = round(0.5355) = 1
    // (255 * 1 + d * 254 + 127) / 255: R 3176/255 = 12, G 5208/255 = 20, B 10542/255 = 41
    EXPECT_EQ(at(3, 0), 0xFF0C1429u);
    canvas->fillRect(4, 0, 1, 1, 0, 0, 0, 0.5);  // a = round(127.5) = 128
    // R (11*127+127)/255 = 5, G (19*127+127)/255 = 9, B (40*127+127)/255 = 20
    EXPECT_EQ(at(4, 0), 0xFF050914u);
}

TEST_P(CanvasTest, OverlappingTranslucentRectanglesBlendInOrder) {
    // Background R 11, G 19, B 40.
    canvas->fillRect(100, 100, 50, 50, 1, 0.5, 0.25, 0.8);  // s = 255, 128, 64; a = 204
    canvas->fillRect(120, 120, 50, 50, 0, 0.2, 1, 0.5);     // s = 0, 51, 255; a = 128
    // First alone: R (255*204 + 11*51 + 127)/255 = 52708/255 = 206
    //              G (128*204 + 19*51 + 127)/255 = 27208/255 = 106
    //              B (64*204 + 40*51 + 127)/255 = 15223/255 = 59
    //              A (255*204 + 255*51 + 127)/255 = 255
    EXPECT_EQ(at(110, 110), 0xFFCE6A3Bu);
    // Second over the first: R (0 + 206*127 + 127)/255 = 26289/255 = 103
    //                        G (51*128 + 106*127 + 127)/255 = 20117/255 = 78
    //                        B (255*128 + 59*127 + 127)/255 = 40260/255 = 157
    EXPECT_EQ(at(130, 130), 0xFF674E9Du);
    // Second over the background: R 1524/255 = 5, G 9068/255 = 35, B 37847/255 = 148
    EXPECT_EQ(at(160, 160), 0xFF052394u);
    EXPECT_EQ(at(99, 99), kBg);
    EXPECT_EQ(at(170, 170), kBg);
    EXPECT_EQ(changed(), 50L * 50 * 2 - 30L * 30);
}

TEST_P(CanvasTest, OpaqueFillEqualsTheFormula) {
    canvas->fillRect(0, 0, 8, 1, 0.2, 0.4, 0.6, 0.8);
    canvas->fillRect(0, 0, 8, 1, 0.1, 0.7, 0.3, 1.0);  // a = 255: s = 26, 179 (178.5 rounds up), 77
    for (int x = 0; x < 8; ++x) EXPECT_EQ(at(x, 0), 0xFF1AB34Du) << x;
}

INSTANTIATE_TEST_SUITE_P(AllPaths, CanvasTest,
                         testing::Values(Mode{SimdPath::Scalar, false, "scalar"},
                                         Mode{SimdPath::Sse2, false, "sse2"},
                                         Mode{SimdPath::Avx2, false, "avx2"},
                                         Mode{SimdPath::Scalar, true, "composite_scalar"},
                                         Mode{SimdPath::Avx2, true, "composite_avx2"}),
                         [](const testing::TestParamInfo<Mode>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
