// Lumen's canvas: 1600 x 900 pixels, 8 bits per channel, each pixel a uint32_t 0xAARRGGBB
// (bytes B, G, R, A in memory: an ARGB8888 texture or a 32-bit DIB as it stands).
//
// DrawRect's rule: fill, over what is drawn, the pixels whose centres lie in [x, x+w) x [y, y+h);
// channels clamp to [0, 1] and become s = round(c * 255), alpha becomes a = round(alpha * 255),
// and every channel blends as d' = (s * a + d * (255 - a) + 127) / 255 in integers. The alpha
// byte blends with s = 255, so an opaque canvas stays opaque.
//
// The blend has a scalar reference and SSE2 and AVX2 paths that give identical results; the
// path is chosen once at run time (best the processor has, or LUMEN_SIMD=scalar|sse2|avx2) and
// can be forced per canvas. Nothing allocates after construction.
//
// Frames are composited lazily by default: clear() and the fills after it are kept as a list
// (up to kMaxPending rectangles) and, when the pixels are next read, resolved band by band:
// inside a band of rows between rectangle edges every row is the same, and inside a run of
// columns between edges every pixel is the background with the same rectangles blended over it
// in order, so each run's colour is blended once (by the same formula) and every pixel is
// written once. Fills that come when the list is full or the buffer has been read blend
// directly on the chosen path. The results are identical either way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumen {

enum class SimdPath : int { Scalar = 0, Sse2 = 1, Avx2 = 2 };

// True if this processor can run `path` (Scalar always; Sse2 on every x86-64).
bool simdPathSupported(SimdPath path);
// "scalar", "sse2" or "avx2".
const char* simdPathName(SimdPath path);
// The path new canvases use: LUMEN_SIMD if set to a supported path (read once per process),
// else the widest supported one.
SimdPath defaultSimdPath();

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

// Blends `color` over `count` pixels starting at `row` on `path` (any alignment, count >= 0).
// Exposed so that tests and the benchmark can drive each path directly.
void blendSpan(uint32_t* row, std::size_t count, const BlendColor& color, SimdPath path);

class Canvas {
public:
    static constexpr int kWidth = 1600;                 // canvas px
    static constexpr int kHeight = 900;                 // canvas px
    static constexpr uint32_t kBackground = 0xFF0B1328; // opaque dark sky, 0xAARRGGBB
    static constexpr int kMaxPending = 64;              // fills kept for lazy compositing

    // Allocates the pixels (64-byte aligned rows) and clears them; `path` as for setSimdPath;
    // `deferred` as for setDeferred.
    explicit Canvas(SimdPath path = defaultSimdPath(), bool deferred = true);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    // Every pixel to kBackground.
    void clear();

    // DrawRect: x, y, w, h in canvas px (any double; NaN coordinate/size or NaN alpha skips,
    // infinities clip, w or h <= 0 draws nothing); r, g, b, alpha nominally in [0, 1], clamped,
    // a NaN channel counts as 0. Computed under round-to-nearest whatever the caller's mode.
    void fillRect(double x, double y, double w, double h,
                  double r, double g, double b, double alpha);

    // Uses `path` for later fills, or the widest supported path below it; returns the path used.
    SimdPath setSimdPath(SimdPath path);
    SimdPath simdPath() const { return path_; }

    // Lazy compositing on (default) or off (every clear and fill writes the buffer at once).
    // Switching brings the buffer up to date first.
    void setDeferred(bool on);
    bool deferred() const { return deferred_; }

    // kWidth * kHeight pixels, row-major, top row first, no padding between rows. Brings the
    // buffer up to date; the address never changes, its content is current until the next
    // clear() or fillRect().
    const uint32_t* pixels() const;
    uint32_t* pixels();
    // Pixel at column x in [0, kWidth), row y in [0, kHeight) (brings the buffer up to date).
    uint32_t pixel(int x, int y) const { return pixels()[static_cast<std::size_t>(y) * kWidth + x]; }

private:
    struct Pending {
        int x0, x1, y0, y1;  // clipped pixel bounds, non-empty
        BlendColor color;
    };
    void blendNow(const Pending& rect);
    void composite() const;  // resolves the pending list into the buffer

    uint32_t* pixels_;
    SimdPath path_;
    bool deferred_;
    mutable bool stale_ = false;  // the buffer lags: background plus pending_[0, pendingCount_)
    mutable int pendingCount_ = 0;
    Pending pending_[kMaxPending];
};

// The pixel span [first, last) of the pixels whose centres lie in [origin, origin + size)
// (the sum rounded to nearest whatever the caller's mode), clipped to [0, limit]; first == last
// when nothing is covered (also for NaN). Raises no floating-point invalid-operation.
struct PixelSpan {
    int first;
    int last;
};
PixelSpan coveredSpan(double origin, double size, int limit);

}  // namespace lumen
