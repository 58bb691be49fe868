// The canvas: the lazy compositing of a frame's fills (see canvas.h) over the blend kernels
// of blend.cpp.
#include "core/canvas.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <new>

namespace lumen {
namespace {

constexpr std::size_t kPixelCount = static_cast<std::size_t>(Canvas::kWidth) * Canvas::kHeight;
constexpr std::align_val_t kPixelAlignment{64};

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

Canvas::Canvas(SimdPath path, bool deferred)
    : pixels_(static_cast<uint32_t*>(::operator new(kPixelCount * sizeof(uint32_t), kPixelAlignment))),
      path_(SimdPath::Scalar),
      deferred_(deferred) {
    setSimdPath(path);
    clear();
}

Canvas::~Canvas() { ::operator delete(pixels_, kPixelAlignment); }

SimdPath Canvas::setSimdPath(SimdPath path) {
    int p = std::clamp(static_cast<int>(path), 0, static_cast<int>(SimdPath::Avx2));
    while (p > 0 && !simdPathSupported(static_cast<SimdPath>(p))) --p;
    path_ = static_cast<SimdPath>(p);
    return path_;
}

void Canvas::setDeferred(bool on) {
    composite();
    deferred_ = on;
}

const uint32_t* Canvas::pixels() const {
    composite();
    return pixels_;
}

uint32_t* Canvas::pixels() {
    composite();
    return pixels_;
}

void Canvas::clear() {
    pendingCount_ = 0;
    if (deferred_) {
        stale_ = true;
    } else {
        stale_ = false;
        fillSpan(pixels_, kPixelCount, kBackground, path_);
    }
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
    const Pending rect{cols.first, cols.last, rows.first, rows.last,
                       makeBlendColor(channelByte(r), channelByte(g), channelByte(b), a)};
    if (stale_ && pendingCount_ < kMaxPending) {
        pending_[pendingCount_++] = rect;
        return;
    }
    composite();
    blendNow(rect);
}

void Canvas::blendNow(const Pending& rect) {
    const std::size_t width = static_cast<std::size_t>(rect.x1 - rect.x0);
    const int height = rect.y1 - rect.y0;
    uint32_t* row = pixels_ + static_cast<std::size_t>(rect.y0) * kWidth + rect.x0;
    if (rect.color.alpha == 255) {  // d' = (255 s + 127) / 255 = s
        for (int y = 0; y < height; ++y, row += kWidth) fillSpan(row, width, rect.color.solid, path_);
        return;
    }
    blendRect(row, kWidth, width, height, rect.color, path_);
}

void Canvas::composite() const {
    if (!stale_) return;
    stale_ = false;
    const int n = pendingCount_;
    pendingCount_ = 0;

    // Row bands: between consecutive distinct top/bottom edges the same rectangles cover a row.
    int ys[2 * kMaxPending + 2];
    int ny = 0;
    ys[ny++] = 0;
    ys[ny++] = kHeight;
    for (int i = 0; i < n; ++i) {
        ys[ny++] = pending_[i].y0;
        ys[ny++] = pending_[i].y1;
    }
    std::sort(ys, ys + ny);
    ny = static_cast<int>(std::unique(ys, ys + ny) - ys);

    int active[kMaxPending];
    int xs[2 * kMaxPending + 2];
    uint32_t colors[2 * kMaxPending + 1];
    for (int band = 0; band + 1 < ny; ++band) {
        const int top = ys[band], bottom = ys[band + 1];
        uint32_t* first = pixels_ + static_cast<std::size_t>(top) * kWidth;
        int na = 0;
        for (int i = 0; i < n; ++i)
            if (pending_[i].y0 <= top && top < pending_[i].y1) active[na++] = i;
        if (na == 0) {
            fillSpan(first, static_cast<std::size_t>(bottom - top) * kWidth, kBackground, path_);
            continue;
        }
        // Column runs of the band's first row; each run's colour is the background with the
        // rectangles covering it blended over in drawing order.
        int nx = 0;
        xs[nx++] = 0;
        xs[nx++] = kWidth;
        for (int j = 0; j < na; ++j) {
            xs[nx++] = pending_[active[j]].x0;
            xs[nx++] = pending_[active[j]].x1;
        }
        std::sort(xs, xs + nx);
        nx = static_cast<int>(std::unique(xs, xs + nx) - xs);
        for (int run = 0; run + 1 < nx; ++run) {
            const int left = xs[run];
            uint32_t color = kBackground;
            for (int j = 0; j < na; ++j) {
                const Pending& p = pending_[active[j]];
                if (p.x0 <= left && left < p.x1) color = blendPixel(color, p.color);
            }
            colors[run] = color;
        }
        const int runs = nx - 1;
        if (runs == 1) {
            fillSpan(first, static_cast<std::size_t>(bottom - top) * kWidth, colors[0], path_);
            continue;
        }
        for (int run = 0; run < runs; ++run)
            fillSpan(first + xs[run], static_cast<std::size_t>(xs[run + 1] - xs[run]), colors[run],
                     path_);
        for (int y = top + 1; y < bottom; ++y)
            std::memcpy(pixels_ + static_cast<std::size_t>(y) * kWidth, first,
                        sizeof(uint32_t) * kWidth);
    }
}

}  // namespace lumen
