// Frame fills on the canvas (clear plus 30 translucent rectangles) on each blend path, against
// pixman's OVER fill of the same rectangles on an a8r8g8b8 image of the same size.
#include "pixels/canvas.h"

#include "outputs/gif.h"
#include "support/captures.h"

#include <benchmark/benchmark.h>
#include <pixman.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using lumen::Canvas;
using lumen::SimdPath;

struct Rect {
    int x, y, w, h;         // canvas px, whole pixels (clipped by both sides alike)
    double r, g, b, alpha;  // [0, 1]
};

constexpr int kRects = 30;

// Scene a: x in [0, 1500), width 100..600, top in [0, 800), height 1..900, alpha 0.8.
std::vector<Rect> sceneTowers() {
    std::mt19937_64 rng(20240611);
    std::vector<Rect> rects;
    for (int i = 0; i < kRects; ++i) {
        Rect r;
        r.x = int(rng() % 1500);
        r.w = 100 + int(rng() % 501);
        r.y = int(rng() % 800);
        r.h = 1 + int(rng() % 900);
        r.r = double(rng() % 256) / 255;
        r.g = double(rng() % 256) / 255;
        r.b = double(rng() % 256) / 255;
        r.alpha = 0.8;
        rects.push_back(r);
    }
    return rects;
}

// Scene b: 30 rectangles over the whole canvas.
std::vector<Rect> sceneFull() {
    std::mt19937_64 rng(7);
    std::vector<Rect> rects;
    for (int i = 0; i < kRects; ++i)
        rects.push_back({0, 0, Canvas::kWidth, Canvas::kHeight, double(rng() % 256) / 255,
                         double(rng() % 256) / 255, double(rng() % 256) / 255, 0.8});
    return rects;
}

int64_t coveredPixels(const std::vector<Rect>& rects) {
    int64_t n = 0;
    for (const Rect& r : rects) {
        const int w = std::min(r.x + r.w, Canvas::kWidth) - std::max(r.x, 0);
        const int h = std::min(r.y + r.h, Canvas::kHeight) - std::max(r.y, 0);
        if (w > 0 && h > 0) n += int64_t(w) * h;
    }
    return n + int64_t(Canvas::kWidth) * Canvas::kHeight;  // plus the clear
}

// deferred = false: every fill blends at once on `path` (the blend loop itself); true: the
// frame is composited when its pixels are read (the default mode).
void lumenFrames(benchmark::State& state, const std::vector<Rect>& rects, SimdPath path,
                 bool deferred) {
    if (!lumen::simdPathSupported(path)) {
        state.SkipWithError("path not supported here");
        return;
    }
    Canvas canvas(path, deferred);
    const std::vector<lumen::CanvasFill> none;
    for (auto _ : state) {
        if (deferred) {
            // The canvas composites only what changed: start each frame from an empty one, so
            // that every fill is composited.
            state.PauseTiming();
            canvas.pixelsOf(none);
            state.ResumeTiming();
        }
        canvas.clear();
        for (const Rect& r : rects) canvas.fillRect(r.x, r.y, r.w, r.h, r.r, r.g, r.b, r.alpha);
        benchmark::DoNotOptimize(canvas.pixels());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * coveredPixels(rects));
}

// A frame after one like it: `moved` rectangles of it one px up or down from the frame before
// (0: the same frame again, which composites nothing).
void lumenChangedFrames(benchmark::State& state, const std::vector<Rect>& rects, int moved) {
    Canvas canvas;
    int frame = 0;
    for (auto _ : state) {
        canvas.clear();
        for (std::size_t i = 0; i < rects.size(); ++i) {
            const Rect& r = rects[i];
            const int dy = int(i) < moved ? frame % 2 : 0;
            canvas.fillRect(r.x, r.y + dy, r.w, r.h, r.r, r.g, r.b, r.alpha);
        }
        benchmark::DoNotOptimize(canvas.pixels());
        benchmark::ClobberMemory();
        ++frame;
    }
}

uint16_t channel16(double c) { return uint16_t(std::lround(c * 65535.0)); }

void pixmanFrames(benchmark::State& state, const std::vector<Rect>& rects) {
    const int w = Canvas::kWidth, h = Canvas::kHeight;
    auto* bits = static_cast<uint32_t*>(::operator new(size_t(w) * h * 4, std::align_val_t{64}));
    pixman_image_t* image = pixman_image_create_bits(PIXMAN_a8r8g8b8, w, h, bits, w * 4);
    const uint32_t bg = Canvas::kBackground;
    const pixman_color_t background = {uint16_t(((bg >> 16) & 255) * 257),
                                       uint16_t(((bg >> 8) & 255) * 257),
                                       uint16_t((bg & 255) * 257), 0xFFFF};
    const pixman_rectangle16_t whole = {0, 0, uint16_t(w), uint16_t(h)};
    std::vector<pixman_color_t> colors;
    std::vector<pixman_rectangle16_t> boxes;
    for (const Rect& r : rects) {
        // Premultiplied colour.
        colors.push_back({channel16(r.r * r.alpha), channel16(r.g * r.alpha),
                          channel16(r.b * r.alpha), channel16(r.alpha)});
        const int x0 = std::max(r.x, 0), y0 = std::max(r.y, 0);
        const int x1 = std::min(r.x + r.w, w), y1 = std::min(r.y + r.h, h);
        boxes.push_back({int16_t(x0), int16_t(y0), uint16_t(std::max(0, x1 - x0)),
                         uint16_t(std::max(0, y1 - y0))});
    }
    for (auto _ : state) {
        pixman_image_fill_rectangles(PIXMAN_OP_SRC, image, &background, 1, &whole);
        for (size_t i = 0; i < boxes.size(); ++i)
            pixman_image_fill_rectangles(PIXMAN_OP_OVER, image, &colors[i], 1, &boxes[i]);
        benchmark::DoNotOptimize(bits);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * coveredPixels(rects));
    pixman_image_unref(image);
    ::operator delete(bits, std::align_val_t{64});
}

const std::vector<Rect> kTowers = sceneTowers();
const std::vector<Rect> kFull = sceneFull();

// Movie capture per presented frame (every fourth one is downscaled, quantised and encoded).
void gifPresent(benchmark::State& state) {
    Canvas canvas;
    for (const Rect& r : kTowers) canvas.fillRect(r.x, r.y, r.w, r.h, r.r, r.g, r.b, r.alpha);
    std::FILE* out = std::fopen("/dev/null", "wb");
    lumen::GifMovie movie;
    if (out == nullptr || !movie.open(out, Canvas::kWidth, Canvas::kHeight)) {
        state.SkipWithError(out == nullptr ? "cannot open /dev/null" : movie.error().c_str());
        if (out != nullptr) std::fclose(out);
        return;
    }
    for (auto _ : state) support::presentPixels(movie, canvas.pixels());
    movie.close();
    std::fclose(out);
}
BENCHMARK(gifPresent)->Unit(benchmark::kMillisecond);

// One PNG capture of a towers frame.
void pngWrite(benchmark::State& state) {
    Canvas canvas;
    for (const Rect& r : kTowers) canvas.fillRect(r.x, r.y, r.w, r.h, r.r, r.g, r.b, r.alpha);
    std::FILE* out = std::fopen("/dev/null", "wb");
    for (auto _ : state) {
        const std::string error = support::writePng(out, canvas.pixels(), Canvas::kWidth, Canvas::kHeight);
        if (!error.empty()) state.SkipWithError(error.c_str());
    }
    if (out != nullptr) std::fclose(out);
}
BENCHMARK(pngWrite)->Unit(benchmark::kMillisecond);

// Frames of both scenes, in this order: filled at once on each blend path, composited on the
// SIMD paths, pixman's; for the towers also frames after one like them.
const bool kFramesRegistered = [] {
    struct Way {
        const char* name;
        SimdPath path;
        bool deferred;
    };
    const Way ways[] = {{"scalar", SimdPath::Scalar, false}, {"sse2", SimdPath::Sse2, false},
                        {"avx2", SimdPath::Avx2, false},     {"composite_sse2", SimdPath::Sse2, true},
                        {"composite_avx2", SimdPath::Avx2, true}};
    const std::pair<std::string, const std::vector<Rect>*> scenes[] = {{"towers", &kTowers}, {"full", &kFull}};
    for (const auto& [scene, rects] : scenes) {
        for (const Way& way : ways)
            benchmark::RegisterBenchmark(("lumenFrames/" + scene + "/" + way.name).c_str(), lumenFrames, *rects,
                                         way.path, way.deferred)
                ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("pixmanFrames/" + scene).c_str(), pixmanFrames, *rects)
            ->Unit(benchmark::kMillisecond);
        if (rects != &kTowers) continue;
        const std::pair<const char*, int> changes[] = {{"unchanged", 0}, {"one_moved", 1}, {"all_moved", kRects}};
        for (const auto& [name, moved] : changes)
            benchmark::RegisterBenchmark(("lumenChangedFrames/" + scene + "/" + name).c_str(), lumenChangedFrames,
                                         *rects, moved)
                ->Unit(benchmark::kMicrosecond);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
