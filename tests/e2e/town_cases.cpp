// The town end to end, on any platform: the real program against the real Lumen, headless and
// scripted. Every expected rectangle is computed here, natively, from the random values that the
// same trace reports, with the program's arithmetic under rounding toward zero.
#include <gtest/gtest.h>

#include <charconv>
#include <string>
#include <vector>

#include "platform_cases.h"
#include "support/fp_mode.h"

namespace e2e {
namespace {

struct Rect {
    double x, y, w, h, r, g, b, a;
};

// The trace cut at its "Act N" lines: frames[n] holds the lines after "Act n" (frames[0] the
// lines before the first Act).
struct Trace {
    std::vector<std::vector<std::string>> frames;
    std::vector<std::string> all;

    Trace() = default;
    explicit Trace(const std::vector<std::string>& lines) : all(lines) {
        frames.emplace_back();
        for (const std::string& l : lines) {
            if (l.rfind("Act ", 0) == 0) {
                frames.emplace_back();
                EXPECT_EQ(l, "Act " + std::to_string(frames.size() - 1));
            } else {
                frames.back().push_back(l);
            }
        }
    }
    int64_t last() const { return static_cast<int64_t>(frames.size()) - 1; }
    const std::vector<std::string>& frame(int64_t n) const { return frames.at(static_cast<size_t>(n)); }
};

double number(std::string_view s) {
    double v = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    EXPECT_TRUE(ec == std::errc() && end == s.data() + s.size()) << "not a number: " << s;
    return v;
}

// The result of a "NAME ... -> VALUE" line.
double result(const std::string& line) { return number(std::string_view(line).substr(line.find("-> ") + 3)); }

bool isRect(const std::string& line) { return line.rfind("DrawRect ", 0) == 0; }

Rect rect(const std::string& line) {
    double v[8] = {};
    size_t at = 9;
    for (double& d : v) {
        const size_t end = line.find(' ', at);
        d = number(std::string_view(line).substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end + 1;
    }
    return Rect{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]};
}

std::vector<Rect> rects(const Trace& t, int64_t frame) {
    std::vector<Rect> out;
    for (const std::string& l : t.frame(frame)) {
        if (isRect(l)) out.push_back(rect(l));
    }
    return out;
}

// Lines of a frame that start with `prefix`.
std::vector<std::string> linesOf(const Trace& t, int64_t frame, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& l : t.frame(frame)) {
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
}

using test_support::towardZero;  // the program's rounding, for the expected values

// A tower as the town rules build it from one raise's draws.
struct Raised {
    double x, width, height, riseStep, fallAccel, red, green, blue;
};

// Reads the raise in `frame` (the release frame): the two MouseX values of the drag and the
// five draws RndF, Rnd(2, 5), RndF, RndF, RndF, in this order.
Raised raisedIn(const Trace& t, int64_t pressFrame, int64_t frame) {
    const auto press = linesOf(t, pressFrame, "MouseX");
    const auto release = linesOf(t, frame, "MouseX");
    std::vector<std::string> draws;
    for (const std::string& l : t.frame(frame)) {
        if (l.rfind("Rnd", 0) == 0) draws.push_back(l);
    }
    EXPECT_EQ(press.size(), 1u);
    EXPECT_GE(release.size(), 1u);
    EXPECT_EQ(draws.size(), 5u);
    if (press.size() != 1 || release.empty() || draws.size() != 5) return Raised{};
    EXPECT_EQ(draws[0].rfind("RndF -> ", 0), 0u);
    EXPECT_EQ(draws[1].rfind("Rnd 2 5 -> ", 0), 0u);
    for (int i = 2; i < 5; ++i) EXPECT_EQ(draws[static_cast<size_t>(i)].rfind("RndF -> ", 0), 0u);
    // Read the numbers first: text conversion depends on the rounding mode too.
    const double start = result(press[0]);
    const double end = result(release[0]);
    const double factor = result(draws[0]);
    const double multiplier = result(draws[1]);
    Raised r{};
    r.red = result(draws[2]);
    r.green = result(draws[3]);
    r.blue = result(draws[4]);
    towardZero([&] {
        const double drag = end - start;
        r.x = drag > 0.0 ? start : end;
        double w = drag > 0.0 ? drag : -drag;
        if (w < 100.0) w = 100.0;
        r.width = w;
        r.height = (w * factor) * multiplier;
        if (r.height < 100.0) r.height = 100.0;
        r.riseStep = r.height / 150.0;
        r.fallAccel = r.height / 600.0;
    });
    return r;
}

// Top edge after `frames` updates counted from the raise frame (1 = the raise frame's own):
// three stages of 31 rising frames, each followed by 21 frames without movement.
double risenY(const Raised& r, int64_t frames) {
    double y = 910.0;
    towardZero([&] {
        for (int64_t f = 0; f < frames && f < 156; ++f) {
            if (f % 52 <= 30) y = y - r.riseStep;
        }
    });
    return y;
}

void expectRect(const Rect& got, double x, double y, const Raised& r, const std::string& what) {
    EXPECT_EQ(got.x, x) << what;
    EXPECT_EQ(got.y, y) << what;
    EXPECT_EQ(got.w, r.width) << what;
    EXPECT_EQ(got.h, r.height) << what;
    EXPECT_EQ(got.r, r.red) << what;
    EXPECT_EQ(got.g, r.green) << what;
    EXPECT_EQ(got.b, r.blue) << what;
    EXPECT_EQ(got.a, 0.8) << what;
}

// Every block of the town is allocated before the first frame, none in the frame loop; when the
// end-of-run fault leaves the main routine the town's 62 blocks go back. After the fault only
// the top-level handler's error record (tag "skip") is allocated.
void expectNoAllocationInFrames(const Trace& t) {
    const int first = find(t.all, "Act 1");
    const int end = find(t.all, "raise 0 null");
    ASSERT_GE(first, 0);
    ASSERT_GT(end, first);
    for (int i = first; i < static_cast<int>(t.all.size()); ++i) {
        const std::string& l = t.all[static_cast<size_t>(i)];
        if (l.rfind("AllocMem", 0) != 0) continue;
        EXPECT_GT(i, end) << "allocation in the frame loop: " << l;
        EXPECT_NE(l.find(" \"skip\" "), std::string::npos) << l;
    }
    int freed = 0;
    for (int i = end; i < static_cast<int>(t.all.size()); ++i) freed += t.all[static_cast<size_t>(i)].rfind("FreeMem", 0) == 0;
    EXPECT_GE(freed, 62);
}

// The trace into `t` of the script "0 seed SEED", `commands`, "LAST quit" run on `p` with
// LUMEN_SEED `seed`: status 0, frames up to `last`, no allocation in them.
void play(const Platform& p, const std::string& seed, const std::string& commands, int64_t last, Trace& t) {
    const Run run = p.runScript("0 seed " + seed + "\n" + commands + std::to_string(last) + " quit\n", seed);
    ASSERT_EQ(run.status, 0) << run.err;
    t = Trace(run.trace);
    ASSERT_EQ(t.last(), last);
    expectNoAllocationInFrames(t);
}

}  // namespace

namespace cases {

void raisedStandingAndFallingTowerFollowTheTownRules(const Platform& p) {
    // Drag from 300 to 520 (frames 2 to 6), right click into the tower at frame 200.
    Trace t;
    ASSERT_NO_FATAL_FAILURE(play(p, "7",
                                 "2 move 300 500\n2 press left\n4 move 410 300\n5 move 520 500\n6 release left\n"
                                 "190 move 410 880\n200 press right\n202 release right\n",
                                 805, t));

    const Raised r = raisedIn(t, 2, 6);
    EXPECT_EQ(r.x, 300.0);
    EXPECT_EQ(r.width, 220.0);
    for (int64_t f = 2; f < 6; ++f) EXPECT_TRUE(rects(t, f).empty()) << "frame " << f;

    // Raised: the raise frame's update has already moved it one step.
    auto drawn = rects(t, 6);
    ASSERT_EQ(drawn.size(), 1u);
    double oneStep = 0.0;
    towardZero([&] { oneStep = 910.0 - r.riseStep; });
    expectRect(drawn[0], 300.0, oneStep, r, "raised");

    // Rising and standing: frames 6 .. 199, the 156th update (frame 161) makes it stand.
    for (int64_t f = 6; f < 200; ++f) {
        drawn = rects(t, f);
        ASSERT_EQ(drawn.size(), 1u) << "frame " << f;
        expectRect(drawn[0], 300.0, risenY(r, f - 5), r, "frame " + std::to_string(f));
        if (f > 6) {
            EXPECT_TRUE(linesOf(t, f, "RndF").empty()) << "frame " << f;
        }
    }
    const double standing = risenY(r, 156);
    EXPECT_LT(standing, 880.0);  // the click at y 880 lies inside the standing tower

    // Falling from frame 200: one RndF per frame, drawn at (300 - 7.5) + 15 * r, the k-th
    // falling frame adding (k - 1) * fallAccel; freed in frame 801.
    double y = standing;
    for (int64_t f = 200; f <= 800; ++f) {
        const auto draws = linesOf(t, f, "RndF");
        drawn = rects(t, f);
        ASSERT_EQ(draws.size(), 1u) << "frame " << f;
        ASSERT_EQ(drawn.size(), 1u) << "frame " << f;
        const double shake = result(draws[0]);
        double left = 0.0;
        towardZero([&] {
            y = y + (r.fallAccel * static_cast<double>(f - 200));
            left = (300.0 - 7.5) + (15.0 * shake);
        });
        expectRect(drawn[0], left, y, r, "falling frame " + std::to_string(f));
        if (::testing::Test::HasFailure()) break;
    }
    for (int64_t f = 801; f < 805; ++f) {
        EXPECT_TRUE(t.frame(f).size() == 2 && linesOf(t, f, "DrawRect").empty() &&
                    linesOf(t, f, "RndF").empty())
            << "frame " << f;
    }
}

void theThirtyFirstDragIsDropped(const Platform& p) {
    // 31 one-frame drags of 50 px, each widened to 100.
    std::string script;
    for (int i = 0; i < 31; ++i) {
        const int press = 2 + 2 * i;
        script += std::to_string(press) + " move " + std::to_string(10 + 50 * i) + " 400\n";
        script += std::to_string(press) + " press left\n";
        script += std::to_string(press + 1) + " move " + std::to_string(60 + 50 * i) + " 400\n";
        script += std::to_string(press + 1) + " release left\n";
    }
    Trace t;
    ASSERT_NO_FATAL_FAILURE(play(p, "11", script, 70, t));

    EXPECT_EQ(count(t.all, "Rnd 2 5"), 30);
    for (int i = 0; i < 30; ++i) {
        const int64_t release = 3 + 2 * i;
        EXPECT_EQ(linesOf(t, release, "Rnd 2 5").size(), 1u) << "drag " << i + 1;
        EXPECT_EQ(rects(t, release).size(), static_cast<size_t>(i + 1));
    }
    // The 31st release (frame 63) reads the pointer and then draws no random number, there or
    // later (no tower is collapsing).
    const auto& f63 = t.frame(63);
    ASSERT_GE(f63.size(), 3u);
    EXPECT_EQ(f63[0], "Mouse 0 -> 0");
    EXPECT_EQ(f63[1], "Mouse 0 -> 0");
    EXPECT_EQ(f63[2], "MouseX -> 1560");
    const int from = find(t.all, "Act 63");
    EXPECT_EQ(find(t.all, "Rnd", from), -1);
    for (int64_t f = 63; f < 70; ++f) EXPECT_EQ(rects(t, f).size(), 30u) << "frame " << f;
}

void aFreedSlotIsReusedAtTheLowestIndex(const Platform& p) {
    // Three towers in slots 0, 1, 2; slots 0 and 2 are tipped over and freed; the next drag
    // fills slot 0, so it is painted before the tower of slot 1.
    const std::string script =
        "2 move 100 400\n2 press left\n3 move 250 400\n3 release left\n"
        "5 move 500 400\n5 press left\n6 move 650 400\n6 release left\n"
        "8 move 900 400\n8 press left\n9 move 1050 400\n9 release left\n"
        "170 move 175 880\n170 press right\n171 release right\n"
        "172 move 975 880\n172 press right\n173 release right\n"
        "780 move 1300 300\n780 press left\n781 move 1400 300\n781 release left\n";
    Trace t;
    ASSERT_NO_FATAL_FAILURE(play(p, "5", script, 790, t));

    const Raised first = raisedIn(t, 2, 3);
    const Raised middle = raisedIn(t, 5, 6);
    const Raised last = raisedIn(t, 8, 9);
    ASSERT_EQ(rects(t, 169).size(), 3u);
    EXPECT_EQ(rects(t, 169)[0].x, first.x);
    EXPECT_EQ(rects(t, 169)[1].x, middle.x);
    EXPECT_EQ(rects(t, 169)[2].x, last.x);
    // Slot 0 falls from frame 170 (freed in 771), slot 2 from 172 (freed in 773).
    EXPECT_EQ(rects(t, 770).size(), 3u);
    EXPECT_EQ(rects(t, 771).size(), 2u);
    EXPECT_EQ(rects(t, 773).size(), 1u);
    EXPECT_EQ(linesOf(t, 773, "RndF").size(), 0u);

    const Raised reused = raisedIn(t, 780, 781);
    EXPECT_EQ(reused.x, 1300.0);
    const auto drawn = rects(t, 781);
    ASSERT_EQ(drawn.size(), 2u);
    double oneStep = 0.0;
    towardZero([&] { oneStep = 910.0 - reused.riseStep; });
    expectRect(drawn[0], 1300.0, oneStep, reused, "new tower in slot 0");
    expectRect(drawn[1], 500.0, risenY(middle, 156), middle, "standing tower in slot 1");
}

}  // namespace cases
}  // namespace e2e
