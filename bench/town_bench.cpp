// One frame of the town with all 30 slots live in mixed states, against the town tests' stand-in
// runtime with its recording off, so that its operations do next to nothing. Reports the time
// per frame and the allocations per frame (must be 0).
#include <benchmark/benchmark.h>
#include "runtime/ops.h"
#include "runtime/runtime.h"
#include "support/fp_mode.h"
#include "support/stand_in.h"
#include "town/main_routine.h"

namespace {

struct Moving {
    double y;
    int64_t timer;
    int64_t state;
    bool live;
};

// 30 towers: 9 rising (three per stage, in rising and pause frames), 11 standing,
// 10 collapsing. Every 64 frames they go back to this picture, before any would change kind.
void mix(town::Town& t, Moving (&start)[30]) {
    for (int64_t i = 0; i < 30; ++i) {
        town::Tower& tw = *(*t.towers)[i];
        const double w = 100.0 + 7.0 * static_cast<double>(i);
        t.raiseTower(40.0 * static_cast<double>(i), w);
        if (i < 9) {
            tw.state = town::Rising1 + i % 3;
            tw.timer = (i * 17) % 50;
        } else if (i < 20) {
            tw.state = town::Standing;
            tw.y = 910.0 - 0.62 * tw.height;
        } else {
            tw.state = town::Collapsing;
            tw.timer = (i - 20) * 50;
        }
        start[i] = Moving{tw.y, tw.timer, tw.state, tw.live};
    }
    // Interleave the kinds in slot order.
    for (int64_t i = 0; i < 30; i += 3) {
        std::swap(*(*t.towers)[i], *(*t.towers)[(i * 7) % 30]);
    }
    for (int64_t i = 0; i < 30; ++i) {
        const town::Tower& tw = *(*t.towers)[i];
        start[i] = Moving{tw.y, tw.timer, tw.state, tw.live};
    }
}

// Puts the towers back to the picture `mix` made.
void restore(town::Town& t, const Moving (&start)[30]) {
    for (int64_t i = 0; i < 30; ++i) {
        town::Tower& tw = *(*t.towers)[i];
        tw.y = start[i].y;
        tw.timer = start[i].timer;
        tw.state = start[i].state;
        tw.live = start[i].live;
    }
}

// The stand-in runtime as a do-nothing one: no log, no recorded rectangles.
struct Quiet : standin::StandIn {
    Quiet() { record = false; }
};

// What a benchmark of the town runs per iteration: a whole frame, or update or draw alone (to
// see where a frame's time goes).
enum class Part { Frame, Update, Draw };

template <Part kPart>
void BM_Town(benchmark::State& state) {
    Quiet runtime;
    rt::Ref<town::Town> t = rt::make<town::Town>();
    t->init();
    Moving start[30];
    mix(*t, start);
    town::Gestures g;

    test_support::MxcsrScope mode(test_support::kProgramMxcsr);
    const int64_t before = runtime.allocs;
    int64_t n = 0;
    for (auto _ : state) {
        if (kPart == Part::Frame) town::runFrame(*t, g);
        else if (kPart == Part::Update) t->update();
        else t->draw();
        if (++n == 64) {
            n = 0;
            restore(*t, start);
        }
    }
    if (kPart == Part::Frame) {
        const int64_t made = runtime.allocs - before;
        state.counters["allocs_per_frame"] =
            benchmark::Counter(static_cast<double>(made), benchmark::Counter::kAvgIterations);
    }
}
BENCHMARK(BM_Town<Part::Frame>)->Name("BM_TownFrame");
BENCHMARK(BM_Town<Part::Update>)->Name("BM_TownUpdate");
BENCHMARK(BM_Town<Part::Draw>)->Name("BM_TownDraw");

// The runtime calls that one frame of the picture above makes, and nothing else: Act, Mouse(0),
// Mouse(1), one RndF per collapsing tower and one DrawRect per tower. The floor of a frame.
void BM_FrameCallsOnly(benchmark::State& state) {
    Quiet runtime;
    double v[8] = {1.0, 2.0, 3.0, 4.0, 0.5, 0.5, 0.5, 0.8};
    for (auto _ : state) {
        rt::Act();
        benchmark::DoNotOptimize(rt::Mouse(0));
        benchmark::DoNotOptimize(rt::Mouse(1));
        for (int i = 0; i < 10; ++i) benchmark::DoNotOptimize(rt::RndF());
        for (int i = 0; i < 30; ++i) {
            benchmark::DoNotOptimize(v);
            rt::DrawRect(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
        }
    }
}
BENCHMARK(BM_FrameCallsOnly);

}  // namespace

BENCHMARK_MAIN();
