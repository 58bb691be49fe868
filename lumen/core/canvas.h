// Lumen's canvas: 1600 x 900 pixels, 8 bits per channel, each pixel a uint32_t 0xAARRGGBB
// (bytes B, G, R, A in memory: an ARGB8888 texture or a 32-bit DIB as it stands).
//
// DrawRect's rule: fill, over what is drawn, the pixels whose centres lie in [x, x+w) x [y, y+h);
// channels clamp to [0, 1] and become s = round(c * 255), alpha becomes a = round(alpha * 255),
// and every channel blends as d' = (s * a + d * (255 - a) + 127) / 255 in integers. The alpha
// byte blends with s = 255, so an opaque canvas stays opaque.
//
// The blend has a scalar reference and SSE2 and AVX2 paths that give identical results
// (blend.h); each canvas is given its path (the session's from LUMEN_SIMD, see settings.h), and
// it can be changed later. Nothing allocates after construction.
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

#include "core/blend.h"

namespace lumen {

class Canvas {
public:
    static constexpr int kWidth = 1600;                 // canvas px
    static constexpr int kHeight = 900;                 // canvas px
    static constexpr uint32_t kBackground = 0xFF0B1328; // opaque dark sky, 0xAARRGGBB
    static constexpr int kMaxPending = 64;              // fills kept for lazy compositing

    // Allocates the pixels (64-byte aligned rows) and clears them; `path` as for setSimdPath;
    // `deferred` as for setDeferred.
    explicit Canvas(SimdPath path = widestSimdPath(), bool deferred = true);
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
