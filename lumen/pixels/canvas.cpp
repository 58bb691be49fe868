// The canvas: the lazy compositing of a frame's fills (see canvas.h) over the blend kernels
// of blend.cpp, limited to the box where the frame differs from what the buffer holds.
#include "pixels/canvas.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <new>

#include "os/os.h"

namespace lumen {
namespace {

constexpr std::size_t kPixelCount = static_cast<std::size_t>(Canvas::kWidth) * Canvas::kHeight;
// The pixel buffer in whole 2 MiB pieces, aligned to them, so that the system can back it with
// large pages: it is written whole the first time a picture or a movie reads it.
constexpr std::size_t kPixelBytes = os::largePageBytes(kPixelCount * sizeof(uint32_t));
constexpr std::align_val_t kPixelAlignment{os::kLargePage};

// Round-to-nearest for the scope whatever the caller's mode, which is restored at the end.
class NearestRounding {
public:
    NearestRounding() : mode_(std::fegetround()) {
        if (mode_ != FE_TONEAREST) std::fesetround(FE_TONEAREST);
    }
    ~NearestRounding() {
        if (mode_ != FE_TONEAREST) std::fesetround(mode_);
    }
    NearestRounding(const NearestRounding&) = delete;
    NearestRounding& operator=(const NearestRounding&) = delete;

private:
    int mode_;
};

// Channel value c (any double) -> round(clamp(c, 0, 1) * 255); NaN -> 0.
unsigned channelByte(double c) {
    if (!(c > 0.0)) return 0;  // also NaN
    if (c >= 1.0) return 255;
    return static_cast<unsigned>(std::round(c * 255.0));
}

}  // namespace

PixelSpan coveredSpan(double origin, double size, int limit) {
    // Pixel i is covered iff origin <= i + 0.5 < end, end = origin + size rounded to nearest
    // (as the drawing code computes it in Lumen's own mode; set here whatever the caller's mode
    // is), i.e. ceil(origin - 0.5) <= i < ceil(end - 0.5). Subtracting 0.5 is exact wherever
    // the result can land inside [0, limit], and rounding is monotonic elsewhere, so neither
    // bound depends on the rounding mode. Clamping happens in double, before any conversion to
    // int; no NaN is ever produced (so no invalid-operation is raised).
    if (!(size > 0.0) || std::isnan(origin)) return {0, 0};
    if (std::isinf(origin) && std::isinf(size) && origin < 0.0) return {0, 0};  // -inf + inf
    const NearestRounding nearest;
    const double end = origin + size;
    const double top = static_cast<double>(limit);
    const double first = std::clamp(std::ceil(origin - 0.5), 0.0, top);
    const double last = std::clamp(std::ceil(end - 0.5), 0.0, top);
    if (!(last > first)) return {0, 0};
    return {static_cast<int>(first), static_cast<int>(last)};
}

void CanvasRect::unite(const CanvasRect& other) {
    if (other.empty()) return;
    if (empty()) {
        *this = other;
        return;
    }
    x0 = std::min(x0, other.x0);
    y0 = std::min(y0, other.y0);
    x1 = std::max(x1, other.x1);
    y1 = std::max(y1, other.y1);
}

bool CanvasFill::operator==(const CanvasFill& o) const {
    return x0 == o.x0 && x1 == o.x1 && y0 == o.y0 && y1 == o.y1 && color.solid == o.color.solid &&
           color.k[0] == o.color.k[0] && color.k[1] == o.color.k[1] && color.k[2] == o.color.k[2] &&
           color.k[3] == o.color.k[3] && color.inverse == o.color.inverse &&
           color.alpha == o.color.alpha;
}

namespace {

constexpr CanvasRect kWholeCanvas{0, 0, Canvas::kWidth, Canvas::kHeight};

CanvasRect boundsOf(const CanvasFill& f) { return {f.x0, f.y0, f.x1, f.y1}; }

int64_t area(const CanvasRect& r) { return r.empty() ? 0 : int64_t{r.x1 - r.x0} * (r.y1 - r.y0); }

bool overlap(const CanvasRect& a, const CanvasRect& b) {
    return a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1;
}

CanvasRect united(CanvasRect a, const CanvasRect& b) {
    a.unite(b);
    return a;
}

// Adds to `region` the pixels whose fill at one place in the list changed from `was` to `now`:
// both places, or, for the same colour, only what one of them covers and the other does not
// (inside both the same fill is blended over the same pixels).
void addReplaced(CanvasRegion& region, const CanvasFill& was, const CanvasFill& now) {
    const CanvasRect a = boundsOf(was), b = boundsOf(now);
    const bool sameColor = was.color.solid == now.color.solid && was.color.k[0] == now.color.k[0] &&
                           was.color.k[1] == now.color.k[1] && was.color.k[2] == now.color.k[2] &&
                           was.color.k[3] == now.color.k[3] && was.color.inverse == now.color.inverse &&
                           was.color.alpha == now.color.alpha;
    if (!sameColor || !overlap(a, b)) {
        region.add(a);
        region.add(b);
        return;
    }
    // Around their common part: the bands above and below it and the sides beside it.
    const CanvasRect u = united(a, b);
    const CanvasRect i{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1),
                       std::min(a.y1, b.y1)};
    region.add(CanvasRect{u.x0, u.y0, u.x1, i.y0});
    region.add(CanvasRect{u.x0, i.y1, u.x1, u.y1});
    region.add(CanvasRect{u.x0, i.y0, i.x0, i.y1});
    region.add(CanvasRect{i.x1, i.y0, u.x1, i.y1});
}

// Makes `v` hold at least `n` elements; it only ever grows, so steady frames allocate nothing.
template <typename T>
T* room(std::vector<T>& v, std::size_t n) {
    if (v.size() < n) v.resize(std::max(n, 2 * v.size()));
    return v.data();
}

// The distinct edges, ascending, of the fills `fills[which[0..n)]` along one axis (`from` and
// `to`: x0 and x1, or y0 and y1) clamped to [lo, hi], with lo and hi themselves, into `edges`
// (room for 2 * n + 2); their count.
int edgesWithin(int* edges, int lo, int hi, const CanvasFill* fills, const int* which, int n,
                int CanvasFill::*from, int CanvasFill::*to) {
    int count = 0;
    edges[count++] = lo;
    edges[count++] = hi;
    for (int j = 0; j < n; ++j) {
        edges[count++] = std::max(fills[which[j]].*from, lo);
        edges[count++] = std::min(fills[which[j]].*to, hi);
    }
    std::sort(edges, edges + count);
    return static_cast<int>(std::unique(edges, edges + count) - edges);
}

}  // namespace

void CanvasRegion::add(CanvasRect box) {
    if (box.empty()) return;
    for (;;) {
        int merge = -1;
        for (int i = 0; i < count && merge < 0; ++i) {
            if (overlap(boxes[i], box)) merge = i;
        }
        if (merge >= 0 && united(boxes[merge], box) == boxes[merge]) return;  // already held
        if (merge < 0 && count == kMaxBoxes) {
            // Full: into the box whose union with it covers the least new area.
            int64_t least = INT64_MAX;
            for (int i = 0; i < count; ++i) {
                const int64_t grown = area(united(boxes[i], box)) - area(boxes[i]);
                if (grown < least) {
                    least = grown;
                    merge = i;
                }
            }
        }
        if (merge < 0) {
            boxes[count++] = box;
            return;
        }
        // The merged box may now overlap others: it is added again in place of both.
        box.unite(boxes[merge]);
        boxes[merge] = boxes[--count];
    }
}

void CanvasRegion::add(const CanvasRegion& other) {
    for (int i = 0; i < other.count; ++i) add(other.boxes[i]);
}

CanvasRect CanvasRegion::bounds() const {
    CanvasRect r;
    for (int i = 0; i < count; ++i) r.unite(boxes[i]);
    return r;
}

bool CanvasRegion::contains(int x, int y) const {
    for (int i = 0; i < count; ++i) {
        const CanvasRect& b = boxes[i];
        if (x >= b.x0 && x < b.x1 && y >= b.y0 && y < b.y1) return true;
    }
    return false;
}

Canvas::Canvas(SimdPath path, bool deferred)
    : pixels_(static_cast<uint32_t*>(::operator new(kPixelBytes, kPixelAlignment))),
      path_(SimdPath::Scalar),
      deferred_(deferred) {
    setSimdPath(path);
    drawn_.reserve(kReservedFills);
    shown_.reserve(kReservedFills);
    room(hits_, kReservedFills);
    room(active_, kReservedFills);
    room(ys_, 2 * kReservedFills + 2);
    room(xs_, 2 * kReservedFills + 2);
    room(colors_, 2 * kReservedFills + 1);
    // The buffer is written the first time it is read (blank_): a run whose pixels nobody reads
    // never touches it.
    for (CanvasRegion& c : changes_) c.add(kWholeCanvas);  // no view has seen anything yet
}

Canvas::~Canvas() { ::operator delete(pixels_, kPixelAlignment); }

SimdPath Canvas::setSimdPath(SimdPath path) {
    int p = std::clamp(static_cast<int>(path), 0, static_cast<int>(SimdPath::Avx2));
    while (p > 0 && !simdPathSupported(static_cast<SimdPath>(p))) --p;
    path_ = static_cast<SimdPath>(p);
    return path_;
}

void Canvas::setDeferred(bool on) {
    resolve(drawn_.data(), drawn_.size());
    deferred_ = on;
}

const uint32_t* Canvas::pixels() const {
    resolve(drawn_.data(), drawn_.size());
    return pixels_;
}

uint32_t* Canvas::pixels() {
    resolve(drawn_.data(), drawn_.size());
    return pixels_;
}

const uint32_t* Canvas::pixelsOf(const std::vector<CanvasFill>& fills) {
    resolve(fills.data(), fills.size());
    return pixels_;
}

CanvasRegion Canvas::takeChanges(View view) {
    const CanvasRegion region = changes_[view];
    changes_[view].count = 0;
    return region;
}

void Canvas::firstWrite() const {
    // The hint is given only now: on a buffer never written, the system could fill large pages
    // in the background where a few small ones happen to be resident, memory nobody reads.
    if (blank_) os::preferLargePages(pixels_, kPixelBytes);
    blank_ = false;
}

void Canvas::clear() {
    drawn_.clear();
    if (deferred_) return;
    // Immediate: the buffer is cleared now and holds the (empty) frame.
    shown_.clear();
    firstWrite();
    fillSpan(pixels_, kPixelCount, kBackground, path_);
    for (CanvasRegion& c : changes_) c.add(kWholeCanvas);
}

void Canvas::fillRect(double x, double y, double w, double h,
                      double r, double g, double b, double alpha) {
    if (std::isnan(alpha)) return;
    const NearestRounding nearest;  // c * 255 rounds as in Lumen's own mode
    const PixelSpan cols = coveredSpan(x, w, kWidth);
    if (cols.first == cols.last) return;
    const PixelSpan rows = coveredSpan(y, h, kHeight);
    if (rows.first == rows.last) return;
    const unsigned a = channelByte(alpha);
    if (a == 0) return;  // d' = (255 d + 127) / 255 = d
    const CanvasFill fill{cols.first, cols.last, rows.first, rows.last,
                          makeBlendColor(channelByte(r), channelByte(g), channelByte(b), a)};
    if (deferred_) {
        drawn_.push_back(fill);
        return;
    }
    resolve(drawn_.data(), drawn_.size());  // the buffer may hold another list (pixelsOf)
    blendNow(fill);
    drawn_.push_back(fill);
    shown_.push_back(fill);
    for (CanvasRegion& c : changes_) c.add(boundsOf(fill));
}

void Canvas::blendNow(const CanvasFill& rect) {
    const std::size_t width = static_cast<std::size_t>(rect.x1 - rect.x0);
    const int height = rect.y1 - rect.y0;
    uint32_t* row = pixels_ + static_cast<std::size_t>(rect.y0) * kWidth + rect.x0;
    if (rect.color.alpha == 255) {  // d' = (255 s + 127) / 255 = s
        for (int y = 0; y < height; ++y, row += kWidth) fillSpan(row, width, rect.color.solid, path_);
        return;
    }
    blendRect(row, kWidth, width, height, rect.color, path_);
}

namespace {

// The boxes where fills[0, count) and was[0, old) over the background can differ: pixels
// covered by neither list's fills after the common beginning and before the common end have the
// same fills over them, in the same order, in both lists.
CanvasRegion regionBetween(const CanvasFill* was, std::size_t old, const CanvasFill* fills, std::size_t count) {
    const std::size_t common = std::min(count, old);
    std::size_t head = 0;
    while (head < common && fills[head] == was[head]) ++head;
    std::size_t tail = 0;
    while (tail < common - head && fills[count - 1 - tail] == was[old - 1 - tail]) ++tail;
    CanvasRegion region;
    if (count - tail - head == old - tail - head) {
        for (std::size_t i = head; i < count - tail; ++i) addReplaced(region, was[i], fills[i]);
    } else {
        for (std::size_t i = head; i < count - tail; ++i) region.add(boundsOf(fills[i]));
        for (std::size_t i = head; i < old - tail; ++i) region.add(boundsOf(was[i]));
    }
    return region;
}

}  // namespace

CanvasRegion Canvas::changedBetween(const std::vector<CanvasFill>& before, const std::vector<CanvasFill>& after) {
    return regionBetween(before.data(), before.size(), after.data(), after.size());
}

void Canvas::resolve(const CanvasFill* fills, std::size_t count) const {
    CanvasRegion region;
    if (blank_) {
        region.add(kWholeCanvas);  // nothing written yet
        firstWrite();
    } else {
        region = regionBetween(shown_.data(), shown_.size(), fills, count);
    }
    if (region.empty()) return;  // the same list: nothing to do
    for (int i = 0; i < region.count; ++i) compositeBox(fills, count, region.boxes[i]);
    if (fills != shown_.data()) shown_.assign(fills, fills + count);
    for (CanvasRegion& c : changes_) c.add(region);
}

template <class Band>
void Canvas::forEachBand(const CanvasFill* fills, std::size_t count, const CanvasRect& box, Band&& band) const {
    // The fills that reach into the box, in drawing order.
    int* hits = room(hits_, count);
    int n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const CanvasFill& f = fills[i];
        if (f.x0 < box.x1 && box.x0 < f.x1 && f.y0 < box.y1 && box.y0 < f.y1)
            hits[n++] = static_cast<int>(i);
    }

    // Row bands: between consecutive distinct top/bottom edges the same rectangles cover a row.
    int* ys = room(ys_, 2 * static_cast<std::size_t>(n) + 2);
    const int ny = edgesWithin(ys, box.y0, box.y1, fills, hits, n, &CanvasFill::y0, &CanvasFill::y1);

    int* active = room(active_, static_cast<std::size_t>(n));
    int* xs = room(xs_, 2 * static_cast<std::size_t>(n) + 2);
    uint32_t* colors = room(colors_, 2 * static_cast<std::size_t>(n) + 1);
    for (int b = 0; b + 1 < ny; ++b) {
        const int top = ys[b], bottom = ys[b + 1];
        int na = 0;
        for (int j = 0; j < n; ++j) {
            const CanvasFill& f = fills[hits[j]];
            if (f.y0 <= top && top < f.y1) active[na++] = hits[j];
        }
        // Column runs of the band's first row (inside the box); each run's colour is the
        // background with the rectangles covering it blended over in drawing order.
        const int nx = edgesWithin(xs, box.x0, box.x1, fills, active, na, &CanvasFill::x0, &CanvasFill::x1);
        for (int run = 0; run + 1 < nx; ++run) {
            const int left = xs[run];
            uint32_t color = kBackground;
            for (int j = 0; j < na; ++j) {
                const CanvasFill& f = fills[active[j]];
                if (f.x0 <= left && left < f.x1) color = blendPixel(color, f.color);
            }
            colors[run] = color;
        }
        band(top, bottom, static_cast<const int*>(xs), static_cast<const uint32_t*>(colors), nx - 1);
    }
}

void Canvas::compositeBox(const CanvasFill* fills, std::size_t count, const CanvasRect& box) const {
    const std::size_t boxW = static_cast<std::size_t>(box.x1 - box.x0);
    const bool wholeRows = box.x0 == 0 && box.x1 == kWidth;  // the band is one span of memory
    forEachBand(fills, count, box, [&](int top, int bottom, const int* xs, const uint32_t* colors, int runs) {
        uint32_t* first = pixels_ + static_cast<std::size_t>(top) * kWidth + box.x0;
        if (runs == 1 && wholeRows) {
            fillSpan(first, static_cast<std::size_t>(bottom - top) * kWidth, colors[0], path_);
            return;
        }
        for (int run = 0; run < runs; ++run)
            fillSpan(first + (xs[run] - box.x0), static_cast<std::size_t>(xs[run + 1] - xs[run]),
                     colors[run], path_);
        for (int y = top + 1; y < bottom; ++y)
            std::memcpy(first + static_cast<std::size_t>(y - top) * kWidth, first,
                        sizeof(uint32_t) * boxW);
    });
}

void Canvas::forEachRow(const std::vector<CanvasFill>& fills, const RowSink& row) const {
    forEachRow(fills, kWholeCanvas, row);
}

void Canvas::forEachRow(const std::vector<CanvasFill>& fills, const CanvasRect& area, const RowSink& row) const {
    const CanvasRect box{std::max(area.x0, 0), std::max(area.y0, 0), std::min(area.x1, kWidth),
                         std::min(area.y1, kHeight)};
    if (box.empty()) return;
    uint32_t* rows = room(rows_, 2 * static_cast<std::size_t>(kWidth));
    int which = 0;
    forEachBand(fills.data(), fills.size(), box,
                [&](int top, int bottom, const int* xs, const uint32_t* colors, int runs) {
                    uint32_t* r = rows + which * kWidth;
                    which ^= 1;  // the row before stays as it was until this one is handed on
                    for (int run = 0; run < runs; ++run)
                        fillSpan(r + (xs[run] - box.x0), static_cast<std::size_t>(xs[run + 1] - xs[run]),
                                 colors[run], path_);
                    row(r, bottom - top);
                });
}

}  // namespace lumen
