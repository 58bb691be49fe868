// Fuzz target (1): the town and its gestures. The fuzzer's bytes drive the mouse (buttons held
// for whole runs of frames, pointer moves) and the random streams (RndF, Rnd) of a stand-in
// runtime, for up to a few thousand frames. After every frame the town must hold its rules:
//   - exactly 30 slots; rising timers in [0, 51], collapsing in [0, 601], standing 0;
//   - a slot that is free before and after the frame is untouched (not updated, drawn or hit);
//   - exactly one DrawRect per live tower, in slot order, at the tower's place and colour, and
//     one RndF per live collapsing tower (its tremble) besides the four of a raise;
//   - at most one raise per frame, into the lowest free slot, with a width of at least 100;
//   - no allocation after set-up, and every block given back when the town goes.
// The frame runs under the program's floating-point mode, MXCSR 0x7F00 (round toward zero,
// invalid operation trapping): a trap is a SIGFPE, which the fuzzer reports as a crash.
// Pointer positions are finite only: the real Lumen never reports a NaN position (a NaN would
// trap on the ordered comparisons of the gestures by design; tests/faults checks that case, and
// FUZZ_TOWN_NAN=1 lets NaN through here to show such a trap is caught). The runtime is the town
// tests' stand-in (tests/support/stand_in.h), under Lumen's mode in every call.
#include <fuzzer/FuzzedDataProvider.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "support/stand_in.h"
#include "town/main_routine.h"

namespace {

constexpr unsigned kProgramMode = 0x7F00;  // the program's MXCSR
constexpr int kMaxFrames = 3000;           // frames driven by the input
constexpr int kTailFrames = 620;           // then idle frames, so every collapse completes

[[noreturn]] void fail(const char* what, int64_t frame, int64_t slot = -1) {
    std::fprintf(stderr, "fuzz_town: frame %lld slot %lld: %s\n", static_cast<long long>(frame),
                 static_cast<long long>(slot), what);
    std::abort();
}

struct Draw {
    double x, y, w, h, r, g, b, a;
    bool afterRndF;   // the call before it was RndF
    double tremble;   // that RndF's value
};

struct World {
    FuzzedDataProvider* in = nullptr;
    standin::StandIn* runtime = nullptr;
    int64_t idleSince = 0;       // first frame without input (used up, or kMaxFrames passed)
    int holdLeft = 0;            // frames the current input still holds
    bool left = false, right = false;
    int64_t leftFrames = 0, rightFrames = 0;  // frames held, as Mouse reports them
    double x = 0.0, y = 0.0;
    std::vector<double> rndFs;   // RndF results of the current frame, in order
} w;

double position(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return DBL_MAX;
        case 1: return -DBL_MAX;
        case 2: {
            // FUZZ_TOWN_NAN=1 lets NaN positions through, to see the trap caught as a crash.
            static const bool nan = std::getenv("FUZZ_TOWN_NAN") != nullptr;
            if (nan) return std::nan("");
            return in.ConsumeBool() ? DBL_TRUE_MIN : -0.0;
        }
        case 3: return in.ConsumeFloatingPoint<double>();  // any finite value
        case 4:  // the band a right click must hit: the lower part of standing towers
            return static_cast<double>(in.ConsumeIntegralInRange<int>(820, 960));
        default:
            return static_cast<double>(in.ConsumeIntegralInRange<int>(-300, 1900)) +
                   static_cast<double>(in.ConsumeIntegralInRange<int>(0, 3)) * 0.25;
    }
}

// What the mouse reports in `frame`: the input's next byte says what the buttons do, for how
// many frames, and whether the pointer moves.
standin::Input inputOf(int64_t frame) {
    if (w.holdLeft == 0) {
        if (w.in->remaining_bytes() == 0 || frame > kMaxFrames) {
            if (w.idleSince == 0) w.idleSince = frame;
            w.left = w.right = false;
            w.holdLeft = 1;
        } else {
            const auto c = w.in->ConsumeIntegral<uint8_t>();
            w.left = c & 1;
            w.right = c & 2;
            if (c & 4) {
                w.x = position(*w.in);
                w.y = position(*w.in);
            }
            w.holdLeft = 1 + (c >> 3) * (c >> 3) / 4;  // 1 .. 241 frames
        }
    }
    --w.holdLeft;
    static const bool debug = std::getenv("FUZZ_TOWN_DEBUG") != nullptr;  // one line a frame
    if (debug)
        std::fprintf(stderr, "frame %lld: left %d right %d at (%g, %g)\n", static_cast<long long>(frame), w.left,
                     w.right, w.x, w.y);
    w.leftFrames = w.left ? w.leftFrames + 1 : 0;
    w.rightFrames = w.right ? w.rightFrames + 1 : 0;
    return standin::Input{w.leftFrames, w.rightFrames, w.x, w.y, -1};
}

double rndF() {
    const uint64_t bits = w.in->ConsumeBool() ? w.in->ConsumeIntegral<uint64_t>() : ~uint64_t{0};
    w.rndFs.push_back(static_cast<double>(bits >> 11) * 0x1p-53);  // [0, 1), 1 - 2^-53 included
    return w.rndFs.back();
}

// The DrawRect calls of the frame, each with whether an RndF came just before it, and its value.
std::vector<Draw> draws(const standin::StandIn& s) {
    std::vector<Draw> out;
    size_t rndFs = 0;
    bool afterRndF = false;
    for (const std::string& call : s.calls) {
        if (call == "DrawRect") {
            const standin::Rect& r = s.rects[out.size()];
            out.push_back(Draw{r.x, r.y, r.w, r.h, r.r, r.g, r.b, r.a, afterRndF, afterRndF ? w.rndFs[rndFs - 1] : 0.0});
        }
        afterRndF = call == "RndF";
        rndFs += afterRndF;
    }
    return out;
}

struct Slot {
    double x, y, width, height, riseStep, fallAccel, r, g, b;
    int64_t timer, state;
    bool live;
};

Slot snapshot(town::Tower& t) {
    rt::Array<double>& c = *t.colour;
    return Slot{t.x, t.y, t.width, t.height, t.riseStep, t.fallAccel, c[0], c[1], c[2], t.timer, t.state, t.live};
}

bool same(const Slot& a, const Slot& b) {
    return std::memcmp(&a.x, &b.x, 9 * sizeof(double)) == 0 && a.timer == b.timer && a.state == b.state &&
           a.live == b.live;
}

bool sameDouble(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The tremble's left edge as the program computes it: under its own mode.
double trembleLeft(double x, double r) {
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(kProgramMode);
    volatile double a = x - 7.5;
    volatile double left = a + (15.0 * r);
    const double out = left;
    _mm_setcsr(saved);
    return out;
}

void checkFrame(town::Town& town, const std::vector<Slot>& before, const town::Gestures& g, int64_t allocsAtSetUp) {
    const standin::StandIn& s = *w.runtime;
    const int64_t f = s.frame;
    const std::vector<Draw> drawn = draws(s);
    if (town.towerCount != 30 || town.towers->length != 30) fail("not 30 slots", f);
    int liveCount = 0, collapsing = 0, raised = 0;
    size_t draw = 0;
    for (int64_t i = 0; i < 30; ++i) {
        town::Tower& t = *(*town.towers)[i];
        const Slot now = snapshot(t);
        const Slot& was = before[static_cast<size_t>(i)];
        if (!was.live && !now.live && !same(was, now)) fail("a free slot changed", f, i);
        if (!was.live && now.live) {
            ++raised;
            for (int64_t j = 0; j < i; ++j)
                if (!before[static_cast<size_t>(j)].live) fail("raised above a lower free slot", f, i);
            if (!(now.width >= 100.0) || !(now.height >= 100.0)) fail("raised too small", f, i);
            if (now.state != town::Rising1 || now.timer != 1) fail("a new tower is not in its first frame", f, i);
            if (g.dragging) fail("raised while the drag goes on", f, i);
        }
        if (!now.live) continue;
        ++liveCount;
        if (now.state < town::Rising1 || now.state > town::Collapsing) fail("state out of range", f, i);
        if (now.state <= town::Rising3 && (now.timer < 0 || now.timer > 51)) fail("rising timer out of [0, 51]", f, i);
        if (now.state == town::Standing && now.timer != 0) fail("standing timer not 0", f, i);
        if (now.state == town::Collapsing && (now.timer < 0 || now.timer > 601))
            fail("collapsing timer out of [0, 601]", f, i);
        if (!std::isfinite(now.x) || !std::isfinite(now.y) || !std::isfinite(now.width) || !std::isfinite(now.height))
            fail("a tower left the finite numbers", f, i);
        if (draw >= drawn.size()) fail("a live tower was not drawn", f, i);
        const Draw& d = drawn[draw++];
        const bool shaking = now.state == town::Collapsing;
        collapsing += shaking;
        if (shaking != d.afterRndF) fail("tremble draw without its one RndF (or one too many)", f, i);
        const double left = shaking ? trembleLeft(now.x, d.tremble) : now.x;
        if (!sameDouble(d.x, left) || !sameDouble(d.y, now.y) || !sameDouble(d.w, now.width) ||
            !sameDouble(d.h, now.height) || !sameDouble(d.r, now.r) || !sameDouble(d.g, now.g) ||
            !sameDouble(d.b, now.b) || d.a != 0.8)
            fail("drawn somewhere else than the tower stands", f, i);
    }
    if (draw != drawn.size()) fail("more DrawRects than live towers", f);
    if (liveCount > 30) fail("more than 30 live towers", f);
    if (raised > 1) fail("two raises in one frame", f);
    const auto rnds = std::count_if(s.calls.begin(), s.calls.end(), [](const std::string& c) { return c.rfind("Rnd ", 0) == 0; });
    if (rnds != raised || s.count("Rnd 2 5") != rnds)
        fail("Rnd not once per raise with bounds 2, 5", f);
    if (s.count("RndF") != 4 * raised + collapsing) fail("RndF count is not 4 per raise plus 1 per tremble", f);
    if (s.allocs != allocsAtSetUp) fail("allocation after set-up", f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    w = World{};
    w.in = &in;
    standin::StandIn runtime;
    w.runtime = &runtime;
    runtime.lumenMode = true;
    runtime.inputOf = inputOf;
    runtime.rndOf = [](int64_t, int64_t) { return w.in->ConsumeIntegralInRange<int64_t>(2, 5); };
    runtime.rndFOf = rndF;
    {
        rt::Ref<town::Town> town = rt::make<town::Town>();
        town->init();
        const int64_t allocsAtSetUp = runtime.allocs;
        town::Gestures gestures;
        std::vector<Slot> before(30);
        // Frames while the input lasts (at most kMaxFrames), then idle ones until every
        // collapse begun has run out.
        while (w.idleSince == 0 || runtime.frame < w.idleSince + kTailFrames) {
            for (int64_t i = 0; i < 30; ++i) before[static_cast<size_t>(i)] = snapshot(*(*town->towers)[i]);
            runtime.clearLog();
            w.rndFs.clear();
            const unsigned saved = _mm_getcsr();
            _mm_setcsr(kProgramMode);
            town::runFrame(*town, gestures);
            _mm_setcsr(saved);
            checkFrame(*town, before, gestures, allocsAtSetUp);
            static const bool debug = std::getenv("FUZZ_TOWN_DEBUG") != nullptr;
            for (int64_t i = 0; debug && i < 30; ++i) {
                const town::Tower& t = *(*town->towers)[i];
                if (t.live)
                    std::fprintf(stderr, "  slot %lld: state %lld timer %lld at (%g, %g) %g x %g\n",
                                 static_cast<long long>(i), static_cast<long long>(t.state),
                                 static_cast<long long>(t.timer), t.x, t.y, t.width, t.height);
            }
        }
        for (int64_t i = 0; i < 30; ++i) {
            if ((*town->towers)[i]->state == town::Collapsing && (*town->towers)[i]->live)
                fail("a collapse outlasted 620 idle frames", runtime.frame, i);
        }
    }
    if (!runtime.live.empty() || runtime.badFrees != 0) fail("blocks lost or freed twice when the town went", runtime.frame);
    return 0;
}
