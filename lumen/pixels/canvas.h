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
// Frames are composited lazily by default: clear() and the fills after it are kept as a list,
// and when the pixels are next read the buffer is brought from the list it holds to the new one.
// Only where the two lists can differ is composited: inside the fills after their common
// beginning and before their common end, old and new (a pixel outside all of them ends up with
// the same fills over it in the same order); where those middles pair up one to one, a fill that
// only moved changes just the part of its old and new places that only one of them covers. An
// unchanged frame composites nothing. Each box of that region is resolved band by band: inside a band of rows between rectangle edges every row is the same,
// and inside a run of columns between edges every pixel is the background with the same
// rectangles blended over it in order, so each run's colour is blended once (by the same
// formula) and every pixel is written once. The results are those of blending every fill
// directly, in order, over a cleared buffer. The lists grow as needed and keep their room, so
// frames of the same size allocate nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "pixels/blend.h"

namespace lumen {

// A box of canvas px, [x0, x1) x [y0, y1); empty when x0 >= x1 or y0 >= y1.
struct CanvasRect {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
    // Grows this box to hold `other` too (an empty one adds nothing).
    void unite(const CanvasRect& other);
    friend bool operator==(const CanvasRect&, const CanvasRect&) = default;
};

// What changed: at most kMaxBoxes boxes of canvas px, not overlapping; a box that would make one
// too many, or that overlaps another, is merged into one (the pair that grows least).
struct CanvasRegion {
    static constexpr int kMaxBoxes = 16;
    CanvasRect boxes[kMaxBoxes];
    int count = 0;
    bool empty() const { return count == 0; }
    // Adds `box` (an empty one adds nothing), merging as said above.
    void add(CanvasRect box);
    void add(const CanvasRegion& other);
    // The box around all of them; empty when there are none.
    CanvasRect bounds() const;
    // True if (x, y) lies in one of the boxes.
    bool contains(int x, int y) const;
};

// One fill as the canvas keeps it: its clipped pixel bounds (non-empty) and its blend constants.
// Two equal fills give the same pixels over the same canvas.
struct CanvasFill {
    int x0, x1, y0, y1;
    BlendColor color;
    bool operator==(const CanvasFill& o) const;
};

class Canvas {
public:
    static constexpr int kWidth = 1600;                 // canvas px
    static constexpr int kHeight = 900;                 // canvas px
    static constexpr uint32_t kBackground = 0xFF0B1328; // opaque dark sky, 0xAARRGGBB
    static constexpr int kReservedFills = 256;          // room kept from the start per list
    // Who is told what changed (takeChanges): each keeps its own account.
    enum View : int { kWindowView = 0, kMovieView = 1, kViewCount = 2 };

    // Allocates the pixels (64-byte aligned rows), cleared when first read; `path` as for
    // setSimdPath; `deferred` as for setDeferred.
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
    // The fills of the frame since clear(), in drawing order.
    const std::vector<CanvasFill>& fills() const { return drawn_; }
    // Brings the buffer to `fills` (as fills() gave it, maybe of an earlier frame) over a cleared
    // canvas and returns it; pixels() afterwards is again the current frame. In immediate mode
    // later fills blend over the current frame, not over these.
    const uint32_t* pixelsOf(const std::vector<CanvasFill>& fills);
    // The pixels pixelsOf(fills) would give, without the buffer: row(pixels, count) for each
    // band of rows alike, from the top down (kWidth px, `count` rows; kHeight rows in all). A
    // row stays as it is until the next call returns.
    using RowSink = std::function<void(const uint32_t* row, int count)>;
    void forEachRow(const std::vector<CanvasFill>& fills, const RowSink& row) const;
    // The same inside `box` only (clipped to the canvas; nothing when that is empty): rows of
    // its width, from its top down, its height in all.
    void forEachRow(const std::vector<CanvasFill>& fills, const CanvasRect& box, const RowSink& row) const;
    // The boxes holding every pixel where the frames `before` and `after` (fills as fills() gives
    // them, over a cleared canvas) can differ; empty for the same list.
    static CanvasRegion changedBetween(const std::vector<CanvasFill>& before,
                                       const std::vector<CanvasFill>& after);
    // The boxes holding every pixel changed in the buffer since the last call for `view` (the
    // whole canvas before the first call); empty when nothing changed. Resets the account.
    CanvasRegion takeChanges(View view);
    // Pixel at column x in [0, kWidth), row y in [0, kHeight) (brings the buffer up to date).
    uint32_t pixel(int x, int y) const { return pixels()[static_cast<std::size_t>(y) * kWidth + x]; }

private:
    void blendNow(const CanvasFill& fill);
    // Marks the buffer as written from now on (blank_ false), about to be written whole.
    void firstWrite() const;
    // Brings the buffer from shown_ to fills[0, count) (which may be drawn_ itself).
    void resolve(const CanvasFill* fills, std::size_t count) const;
    // Composites fills[0, count) over the background inside `box` (not empty) only.
    void compositeBox(const CanvasFill* fills, std::size_t count, const CanvasRect& box) const;
    // The bands of rows inside `box` that the same fills cover, top down:
    // band(top, bottom, xs, colors, runs), the band's columns [xs[i], xs[i + 1]) of colors[i].
    template <class Band>
    void forEachBand(const CanvasFill* fills, std::size_t count, const CanvasRect& box, Band&& band) const;

    uint32_t* pixels_;
    SimdPath path_;
    bool deferred_;
    std::vector<CanvasFill> drawn_;             // the frame since clear()
    mutable std::vector<CanvasFill> shown_;     // the fills the buffer holds, over the background
    mutable bool blank_ = true;                 // the buffer holds nothing yet: not even shown_
    mutable CanvasRegion changes_[kViewCount];  // per view: what changed since it last asked
    // Scratch of forEachBand, kept between frames.
    mutable std::vector<int> hits_, active_, ys_, xs_;
    mutable std::vector<uint32_t> colors_;
    mutable std::vector<uint32_t> rows_;  // two rows of forEachRow
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
