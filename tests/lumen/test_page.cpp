// The page's display-free parts: pacing by a browser's animation frames (FramePacer's display
// frames) and where the canvas lies in a page's area and how a pointer there maps back to canvas
// px (lumen/pixels/letterbox.h's page helpers, which backends/web.cpp uses).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "pixels/canvas.h"
#include "run/pacer.h"
#include "pixels/letterbox.h"

namespace {

using lumen::FramePacer;

// How many of `count` display frames at `hz` (times from `start` ms, each moved by the
// repeating `jitter` ms) a pacer at 60 frames a second takes.
int framesTaken(double hz, int count, const std::vector<double>& jitter = {0.0}, double start = 1000.0) {
    FramePacer pacer;
    pacer.setRate(60.0);
    int taken = 0;
    for (int i = 0; i < count; ++i) {
        const double t = start + i * 1000.0 / hz + jitter[static_cast<size_t>(i) % jitter.size()];
        if (pacer.takeDisplayFrame(t)) ++taken;
    }
    return taken;
}

TEST(PageFrames, SixtyAFrameSecondOnEveryDisplayRateFromSixtyUp) {
    // Ten seconds of display frames: 600 program frames (the first counts at once: 601 at most).
    for (const double hz : {60.0, 75.0, 90.0, 100.0, 120.0, 144.0, 165.0, 240.0}) {
        const int taken = framesTaken(hz, static_cast<int>(hz * 10.0));
        EXPECT_GE(taken, 599) << hz << " Hz";
        EXPECT_LE(taken, 601) << hz << " Hz";
    }
}

TEST(PageFrames, ASlowerDisplayGetsEveryFrameAndNoBurst) {
    EXPECT_EQ(framesTaken(30.0, 300), 300);
    EXPECT_EQ(framesTaken(59.0, 590), 590);
}

TEST(PageFrames, JitteredTimesKeepTheRate) {
    // Frame times a millisecond early or late, as a browser's are.
    const std::vector<double> jitter{0.0, 1.0, -1.0, 0.5, -0.7, 0.9};
    for (const double hz : {60.0, 120.0, 144.0}) {
        const int taken = framesTaken(hz, static_cast<int>(hz * 10.0), jitter);
        EXPECT_GE(taken, 599) << hz << " Hz";
        EXPECT_LE(taken, 601) << hz << " Hz";
    }
    // At 120 Hz exactly every other display frame: never two in a row.
    FramePacer pacer;
    pacer.setRate(60.0);
    bool last = false;
    for (int i = 0; i < 240; ++i) {
        const bool now = pacer.takeDisplayFrame(i * 1000.0 / 120.0 + jitter[i % jitter.size()]);
        if (i > 0) {
            EXPECT_NE(now, last) << "display frame " << i;
        }
        last = now;
    }
}

TEST(PageFrames, AfterAPauseTheCountStartsAfreshWithoutCatchingUp) {
    FramePacer pacer;
    pacer.setRate(60.0);
    for (int i = 0; i < 120; ++i) pacer.takeDisplayFrame(i * 1000.0 / 120.0);
    // A hidden tab: no frames for five seconds. The first after it runs, then every other again.
    const double back = 6000.0;
    EXPECT_TRUE(pacer.takeDisplayFrame(back));
    EXPECT_FALSE(pacer.takeDisplayFrame(back + 1000.0 / 120.0));
    EXPECT_TRUE(pacer.takeDisplayFrame(back + 2000.0 / 120.0));
}

TEST(PageFrames, UnpacedTakesEveryDisplayFrame) {
    FramePacer pacer;
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(pacer.takeDisplayFrame(i * 1.0));
}

double fakeDisplayTime = 0.0;
int fakeDisplayCalls = 0;
// A 144 Hz display: each call is the next frame.
double nextFakeDisplayFrame() {
    ++fakeDisplayCalls;
    fakeDisplayTime += 1000.0 / 144.0;
    return fakeDisplayTime;
}

TEST(PageFrames, WaitCallsTheDisplayUntilAFrameIsDue) {
    FramePacer pacer;
    pacer.setRate(60.0);
    fakeDisplayTime = 0.0;
    fakeDisplayCalls = 0;
    for (int i = 0; i < 600; ++i) pacer.wait(nextFakeDisplayFrame);
    // 600 frames at 60 a second take ten seconds of a 144 Hz display: 1440 display frames.
    EXPECT_NEAR(fakeDisplayCalls, 1440, 3);
}

using lumen::PageArea;
using lumen::PageBox;
constexpr double kW = lumen::Canvas::kWidth;
constexpr double kH = lumen::Canvas::kHeight;

TEST(PageLayout, TheCanvasLetterboxedInDevicePxPlacedInCssPx) {
    // 800 x 600 CSS px: 800 x 450 with bars of 75 above and below, at any whole density.
    for (const double density : {1.0, 2.0, 3.0}) {
        const PageArea area = lumen::pageArea(800, 600, density);
        EXPECT_EQ(area.deviceW, static_cast<int>(800 * density));
        EXPECT_EQ(area.deviceH, static_cast<int>(600 * density));
        const PageBox box = lumen::pageBox(area);
        EXPECT_DOUBLE_EQ(box.x, 0.0);
        EXPECT_DOUBLE_EQ(box.y, 75.0);
        EXPECT_DOUBLE_EQ(box.w, 800.0);
        EXPECT_DOUBLE_EQ(box.h, 450.0);
    }
    // 1600 x 900 device px of 1280 x 720 CSS px at 1.25: the canvas pixel for pixel.
    const PageArea exact = lumen::pageArea(1280, 720, 1.25);
    EXPECT_EQ(exact.deviceW, 1600);
    EXPECT_EQ(exact.deviceH, 900);
    const lumen::Letterbox device = lumen::letterbox(exact.deviceW, exact.deviceH);
    EXPECT_EQ(device.w, 1600);
    EXPECT_EQ(device.h, 900);
    // No density given (0, NaN): 1.
    for (const double density : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        const PageArea area = lumen::pageArea(640, 480, density);
        EXPECT_EQ(area.deviceW, 640);
        EXPECT_EQ(area.deviceH, 480);
    }
    // An area without size shows nothing.
    const PageBox none = lumen::pageBox(lumen::pageArea(0, 480, 1.0));
    EXPECT_EQ(none.w, 0.0);
    EXPECT_EQ(none.h, 0.0);
}

TEST(PageLayout, WhereThePointerIsShownIsWhereItIsMapped) {
    // The corners of the placed canvas map to the canvas's corners, its centre to the centre,
    // at any area and density; a point in a bar lies outside the canvas (not clamped).
    struct Case {
        int w, h;
        double density;
    };
    for (const Case c : {Case{800, 600, 1.0}, Case{1001, 500, 1.25}, Case{375, 667, 3.0},
                         Case{1920, 1080, 1.5}, Case{333, 999, 2.625}}) {
        const PageArea area = lumen::pageArea(c.w, c.h, c.density);
        const PageBox box = lumen::pageBox(area);
        double cx = 0.0;
        double cy = 0.0;
        lumen::pageToCanvas(area, box.x, box.y, cx, cy);
        EXPECT_NEAR(cx, 0.0, 1e-9) << c.w << "x" << c.h << "@" << c.density;
        EXPECT_NEAR(cy, 0.0, 1e-9) << c.w << "x" << c.h << "@" << c.density;
        lumen::pageToCanvas(area, box.x + box.w, box.y + box.h, cx, cy);
        EXPECT_NEAR(cx, kW, 1e-9) << c.w << "x" << c.h << "@" << c.density;
        EXPECT_NEAR(cy, kH, 1e-9) << c.w << "x" << c.h << "@" << c.density;
        lumen::pageToCanvas(area, box.x + box.w / 2, box.y + box.h / 2, cx, cy);
        EXPECT_NEAR(cx, kW / 2, 1e-9);
        EXPECT_NEAR(cy, kH / 2, 1e-9);
        // The box keeps the canvas's aspect ratio to within a device pixel.
        EXPECT_NEAR(box.w / box.h, kW / kH, 2.0 / (box.h * c.density) * (kW / kH) + 1e-12);
    }
    // Bars left and right of a wide area: its left edge is left of the canvas.
    const PageArea wide = lumen::pageArea(1000, 450, 1.0);
    double cx = 0.0;
    double cy = 0.0;
    lumen::pageToCanvas(wide, 0.0, 0.0, cx, cy);
    EXPECT_DOUBLE_EQ(cx, -100.0 * kW / 800.0);
    EXPECT_DOUBLE_EQ(cy, 0.0);
}

}  // namespace
