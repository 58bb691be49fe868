// The canvas's blend kernels: one rule (see canvas.h) on a scalar reference path and SSE2 and
// AVX2 paths that give identical results.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumen {

enum class SimdPath : int { Scalar = 0, Sse2 = 1, Avx2 = 2 };
// Every path, narrowest first.
inline constexpr SimdPath kSimdPaths[] = {SimdPath::Scalar, SimdPath::Sse2, SimdPath::Avx2};

// True if this processor can run `path` (Scalar always; Sse2 on every x86-64).
bool simdPathSupported(SimdPath path);
// "scalar", "sse2" or "avx2".
const char* simdPathName(SimdPath path);
// The widest path this processor can run.
SimdPath widestSimdPath();

// Blend constants of one fill: everything the inner loop needs, computed once per rectangle.
struct BlendColor {
    uint32_t solid;       // 0xFFRRGGBB: the straight fill used when a == 255
    uint16_t k[4];        // s * a + 127 for B, G, R, A (A uses s = 255), <= 65152
    uint16_t inverse;     // 255 - a, in [0, 255]
    uint16_t alpha;       // a, in [1, 255] (a == 0 never reaches a blend)
};

// Blend constants for 8-bit source channels and alpha: s, a in [0, 255].
BlendColor makeBlendColor(unsigned r, unsigned g, unsigned b, unsigned a);

// The contract's formula for one channel: s, a, d in [0, 255] -> (s*a + d*(255-a) + 127) / 255.
constexpr unsigned blendChannel(unsigned s, unsigned a, unsigned d) {
    return (s * a + d * (255u - a) + 127u) / 255u;
}

// One pixel d (0xAARRGGBB) with `color` blended over it by the scalar reference.
inline uint32_t blendPixel(uint32_t d, const BlendColor& c) {
    const uint32_t inv = c.inverse;
    const uint32_t b = ((d & 0xFFu) * inv + c.k[0]) / 255u;
    const uint32_t g = (((d >> 8) & 0xFFu) * inv + c.k[1]) / 255u;
    const uint32_t r = (((d >> 16) & 0xFFu) * inv + c.k[2]) / 255u;
    const uint32_t a = ((d >> 24) * inv + c.k[3]) / 255u;
    return b | (g << 8) | (r << 16) | (a << 24);
}

// Blends `color` over `count` pixels starting at `row` on `path` (any alignment, count >= 0).
// Exposed so that tests and the benchmark can drive each path directly.
void blendSpan(uint32_t* row, std::size_t count, const BlendColor& color, SimdPath path);

// Sets `count` pixels from `row` to `value` on `path` (a supported one; any alignment).
void fillSpan(uint32_t* row, std::size_t count, uint32_t value, SimdPath path);

// Blends `color` over `height` rows of `width` pixels, rows `stride` pixels apart, from `row`,
// on `path` (a supported one).
void blendRect(uint32_t* row, std::size_t stride, std::size_t width, int height,
               const BlendColor& color, SimdPath path);

}  // namespace lumen
