// Fuzz target (3): the canvas fill (DrawRect) with arbitrary Floats: NaN, infinities, signed
// zeros, subnormals, huge and negative sizes, on every blend path, lazily composited or
// direct, with clears and reads in between, under any rounding mode of the caller. The result
// must equal an independent model of the contract's rule after every read: pixel (c, r) is
// covered when x <= c + 0.5 < x + w and y <= r + 0.5 < y + h (x + w, y + h rounded to
// nearest), channels clamp to [0, 1] and become round(c * 255), and every channel blends as
// (s * a + d * (255 - a) + 127) / 255. The pixel buffer is a heap block with
// AddressSanitizer's red zones on both sides, so any write outside it stops the run at once;
// a write inside it to a pixel the model leaves alone shows up as a difference.
#include <fuzzer/FuzzedDataProvider.h>

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "pixels/canvas.h"
#include "support/fp_mode.h"

namespace {

using lumen::Canvas;

constexpr int kW = Canvas::kWidth;
constexpr int kH = Canvas::kHeight;
constexpr int64_t kModelBudget = 3'000'000;  // pixels the model may blend per input

double anyFloat(FuzzedDataProvider& in) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0: return std::numeric_limits<double>::quiet_NaN();
        case 1: return kInf;
        case 2: return -kInf;
        case 3: return in.ConsumeBool() ? 0.0 : -0.0;
        case 4: return in.ConsumeBool() ? DBL_MAX : -DBL_MAX;
        case 5: return in.ConsumeBool() ? DBL_TRUE_MIN : -DBL_TRUE_MIN;
        case 6: return in.ConsumeFloatingPoint<double>();
        case 7: {  // raw bits: every NaN payload and sign too
            const uint64_t bits = in.ConsumeIntegral<uint64_t>();
            double d;
            std::memcpy(&d, &bits, sizeof d);
            return d;
        }
        case 8: return static_cast<double>(in.ConsumeIntegralInRange<int>(-2, 2)) * 2147483648.0 + 0.5;
        case 9: return std::nextafter(static_cast<double>(in.ConsumeIntegralInRange<int>(-2, 1602)) + 0.5,
                                      in.ConsumeBool() ? kInf : -kInf);
        case 10:
        case 11:  // small: many rectangles, pending lists that fill up
            return static_cast<double>(in.ConsumeIntegralInRange<int>(-4, 40)) +
                   static_cast<double>(in.ConsumeIntegralInRange<int>(0, 8)) / 8.0;
        default:
            return static_cast<double>(in.ConsumeIntegralInRange<int>(-1000, 2600)) +
                   static_cast<double>(in.ConsumeIntegralInRange<int>(0, 8)) / 8.0;
    }
}

double anyChannel(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) return anyFloat(in);
    return static_cast<double>(in.ConsumeIntegralInRange<int>(-10, 265)) / 255.0;
}

// The contract's pixel span on one axis, by its own words.
void span(double origin, double size, int limit, int& first, int& last) {
    const double end = origin + size;  // the model runs round to nearest
    first = last = 0;
    int c = 0;
    while (c < limit && !(origin <= c + 0.5 && c + 0.5 < end)) ++c;
    first = c;
    while (c < limit && origin <= c + 0.5 && c + 0.5 < end) ++c;
    last = c;
}

unsigned byteOf(double c) {
    if (std::isnan(c) || c <= 0.0) return 0;
    if (c >= 1.0) return 255;
    return static_cast<unsigned>(std::lround(c * 255.0));
}

struct Model {
    std::vector<uint32_t> px = std::vector<uint32_t>(static_cast<size_t>(kW) * kH, Canvas::kBackground);
    int64_t spent = 0;

    void clear() { std::fill(px.begin(), px.end(), Canvas::kBackground); }
    void fill(double x, double y, double w, double h, double r, double g, double b, double alpha) {
        if (std::isnan(alpha)) return;
        int x0, x1, y0, y1;
        span(x, w, kW, x0, x1);
        span(y, h, kH, y0, y1);
        const unsigned a = byteOf(alpha);
        if (x0 == x1 || y0 == y1 || a == 0) return;
        const unsigned s[4] = {byteOf(b), byteOf(g), byteOf(r), 255};
        spent += static_cast<int64_t>(x1 - x0) * (y1 - y0);
        uint32_t table[4][256];  // the blend of every destination byte, per channel
        for (int k = 0; k < 4; ++k)
            for (unsigned d = 0; d < 256; ++d) table[k][d] = ((s[k] * a + d * (255 - a) + 127) / 255) << (8 * k);
        for (int row = y0; row < y1; ++row) {
            uint32_t* line = px.data() + static_cast<size_t>(row) * kW;
            for (int col = x0; col < x1; ++col) {
                const uint32_t d = line[col];
                line[col] = table[0][d & 0xFFu] | table[1][(d >> 8) & 0xFFu] | table[2][(d >> 16) & 0xFFu] |
                            table[3][d >> 24];
            }
        }
    }
};

void compare(const Canvas& canvas, const Model& model, int step) {
    const uint32_t* got = canvas.pixels();
    if (std::memcmp(got, model.px.data(), model.px.size() * sizeof(uint32_t)) == 0) return;
    for (size_t i = 0; i < model.px.size(); ++i) {
        if (got[i] != model.px[i]) {
            std::fprintf(stderr, "fuzz_canvas: step %d: pixel (%zu, %zu) is %08X, the rule gives %08X (path %s)\n",
                         step, i % kW, i / kW, got[i], model.px[i], lumen::simdPathName(canvas.simdPath()));
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const auto path = static_cast<lumen::SimdPath>(in.ConsumeIntegralInRange<int>(0, 2));
    Canvas canvas(path, in.ConsumeBool());
    static Model model;
    model.clear();
    model.spent = 0;
    static const int kModes[4] = {FE_TONEAREST, FE_TOWARDZERO, FE_UPWARD, FE_DOWNWARD};
    int step = 0;
    while (in.remaining_bytes() > 0 && model.spent < kModelBudget && step < 200) {
        ++step;
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
                canvas.clear();
                model.clear();
                break;
            case 1: compare(canvas, model, step); break;
            case 2: canvas.setDeferred(!canvas.deferred()); break;
            default: {
                double v[8];
                for (int k = 0; k < 4; ++k) v[k] = anyFloat(in);
                for (int k = 4; k < 8; ++k) v[k] = anyChannel(in);
                // The caller's rounding mode must not matter (exceptions stay masked here).
                const int mode = kModes[in.ConsumeIntegralInRange<int>(0, 3)];
                {
                    const test_support::RoundingScope scope(mode);
                    canvas.fillRect(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
                }
                model.fill(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
            }
        }
    }
    compare(canvas, model, step);
    return 0;
}
