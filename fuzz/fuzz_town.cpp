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
// FUZZ_TOWN_NAN=1 lets NaN through here to show such a trap is caught).
#include <fuzzer/FuzzedDataProvider.h>
#include <xmmintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "runtime/runtime.h"
#include "town/main_routine.h"

namespace {

constexpr unsigned kProgramMode = 0x7F00;  // the program's MXCSR
constexpr unsigned kLumenMode = 0x1F80;    // the stand-in's own, like Lumen's
constexpr int kMaxFrames = 3000;           // frames driven by the input
constexpr int kTailFrames = 620;           // then idle frames, so every collapse completes

[[noreturn]] void fail(const char* what, int64_t frame, int64_t slot = -1) {
    std::fprintf(stderr, "fuzz_town: frame %lld slot %lld: %s\n", static_cast<long long>(frame),
                 static_cast<long long>(slot), what);
    std::abort();
}

// Lumen's guard: the stand-in's code runs under its own mode and gives the caller's back.
struct Guard {
    unsigned saved = _mm_getcsr();
    Guard() { _mm_setcsr(kLumenMode); }
    ~Guard() { _mm_setcsr(saved & ~0x3Fu); }
};

struct Draw {
    double x, y, w, h, r, g, b, a;
    bool afterRndF;   // the call before it was RndF
    double tremble;   // that RndF's value
};

struct World {
    FuzzedDataProvider* in = nullptr;
    int64_t frame = 0;
    int64_t idleSince = 0;       // first frame without input (used up, or kMaxFrames passed)
    int holdLeft = 0;            // frames the current input still holds
    bool left = false, right = false;
    int64_t leftFrames = 0, rightFrames = 0;  // frames held, as Mouse reports them
    double x = 0.0, y = 0.0;
    bool setUp = false;
    int64_t allocsAfterSetUp = 0;
    std::set<void*> live;
    int64_t badFrees = 0;
    // Calls of the current frame.
    std::vector<Draw> draws;
    int rndF = 0, rnd = 0, rndBadBounds = 0;
    bool lastWasRndF = false;
    double lastRndF = 0.0;
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

void act() {
    Guard g;
    w.lastWasRndF = false;
    ++w.frame;
    if (w.holdLeft == 0) {
        if (w.in->remaining_bytes() == 0 || w.frame > kMaxFrames) {
            if (w.idleSince == 0) w.idleSince = w.frame;
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
        std::fprintf(stderr, "frame %lld: left %d right %d at (%g, %g)\n", static_cast<long long>(w.frame), w.left,
                     w.right, w.x, w.y);
    w.leftFrames = w.left ? w.leftFrames + 1 : 0;
    w.rightFrames = w.right ? w.rightFrames + 1 : 0;
}
int64_t mouse(int64_t b) {
    w.lastWasRndF = false;
    return b == 0 ? w.leftFrames : b == 1 ? w.rightFrames : 0;
}
double mouseX() {
    w.lastWasRndF = false;
    return w.x;
}
double mouseY() {
    w.lastWasRndF = false;
    return w.y;
}
int64_t rnd(int64_t lo, int64_t hi) {
    Guard g;
    w.lastWasRndF = false;
    ++w.rnd;
    if (lo != 2 || hi != 5) ++w.rndBadBounds;
    return w.in->ConsumeIntegralInRange<int64_t>(2, 5);
}
double rndF() {
    Guard g;
    ++w.rndF;
    const uint64_t bits = w.in->ConsumeBool() ? w.in->ConsumeIntegral<uint64_t>() : ~uint64_t{0};
    w.lastRndF = static_cast<double>(bits >> 11) * 0x1p-53;  // [0, 1), 1 - 2^-53 included
    w.lastWasRndF = true;
    return w.lastRndF;
}
void drawRect(double x, double y, double wd, double h, double r, double g, double b, double a) {
    w.draws.push_back(Draw{x, y, wd, h, r, g, b, a, w.lastWasRndF, w.lastRndF});
    w.lastWasRndF = false;
}
void* allocMem(int64_t bytes, const char16_t*) {
    Guard g;
    if (w.setUp) ++w.allocsAfterSetUp;
    const size_t size = (static_cast<size_t>(bytes) + 15) / 16 * 16;
    void* p = std::aligned_alloc(16, size == 0 ? 16 : size);
    std::memset(p, 0, size == 0 ? 16 : size);
    w.live.insert(p);
    return p;
}
void freeMem(void* p) {
    Guard g;
    if (p == nullptr) return;
    if (w.live.erase(p) == 0) {
        ++w.badFrees;
        return;
    }
    std::free(p);
}

void install() {
    rt::clearEntries();
    rt::setEntry(rt::Name::Act, reinterpret_cast<void*>(&act));
    rt::setEntry(rt::Name::Mouse, reinterpret_cast<void*>(&mouse));
    rt::setEntry(rt::Name::MouseX, reinterpret_cast<void*>(&mouseX));
    rt::setEntry(rt::Name::MouseY, reinterpret_cast<void*>(&mouseY));
    rt::setEntry(rt::Name::Rnd, reinterpret_cast<void*>(&rnd));
    rt::setEntry(rt::Name::RndF, reinterpret_cast<void*>(&rndF));
    rt::setEntry(rt::Name::DrawRect, reinterpret_cast<void*>(&drawRect));
    rt::setEntry(rt::Name::AllocMem, reinterpret_cast<void*>(&allocMem));
    rt::setEntry(rt::Name::FreeMem, reinterpret_cast<void*>(&freeMem));
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

void checkFrame(town::Town& town, const std::vector<Slot>& before, const town::Gestures& g) {
    const int64_t f = w.frame;
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
        if (draw >= w.draws.size()) fail("a live tower was not drawn", f, i);
        const Draw& d = w.draws[draw++];
        const bool shaking = now.state == town::Collapsing;
        collapsing += shaking;
        if (shaking != d.afterRndF) fail("tremble draw without its one RndF (or one too many)", f, i);
        const double left = shaking ? trembleLeft(now.x, d.tremble) : now.x;
        if (!sameDouble(d.x, left) || !sameDouble(d.y, now.y) || !sameDouble(d.w, now.width) ||
            !sameDouble(d.h, now.height) || !sameDouble(d.r, now.r) || !sameDouble(d.g, now.g) ||
            !sameDouble(d.b, now.b) || d.a != 0.8)
            fail("drawn somewhere else than the tower stands", f, i);
    }
    if (draw != w.draws.size()) fail("more DrawRects than live towers", f);
    if (liveCount > 30) fail("more than 30 live towers", f);
    if (raised > 1) fail("two raises in one frame", f);
    if (w.rnd != raised || w.rndBadBounds != 0) fail("Rnd not once per raise with bounds 2, 5", f);
    if (w.rndF != 4 * raised + collapsing) fail("RndF count is not 4 per raise plus 1 per tremble", f);
    if (w.allocsAfterSetUp != 0) fail("allocation after set-up", f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    w = World{};
    w.in = &in;
    install();
    {
        rt::Ref<town::Town> town = rt::make<town::Town>();
        town->init();
        w.setUp = true;
        town::Gestures gestures;
        std::vector<Slot> before(30);
        // Frames while the input lasts (at most kMaxFrames), then idle ones until every
        // collapse begun has run out.
        while (w.idleSince == 0 || w.frame < w.idleSince + kTailFrames) {
            for (int64_t i = 0; i < 30; ++i) before[static_cast<size_t>(i)] = snapshot(*(*town->towers)[i]);
            w.draws.clear();
            w.rndF = w.rnd = w.rndBadBounds = 0;
            const unsigned saved = _mm_getcsr();
            _mm_setcsr(kProgramMode);
            town::runFrame(*town, gestures);
            _mm_setcsr(saved);
            checkFrame(*town, before, gestures);
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
                fail("a collapse outlasted 620 idle frames", w.frame, i);
        }
    }
    if (!w.live.empty() || w.badFrees != 0) fail("blocks lost or freed twice when the town went", w.frame);
    rt::clearEntries();
    return 0;
}
