// The canvas scaled into window pixels (scale.h).
#include "pixels/scale.h"

#include <algorithm>
#include <cstdint>

namespace lumen {

namespace {

constexpr int kCanvasW = Canvas::kWidth;   // canvas px
constexpr int kCanvasH = Canvas::kHeight;  // canvas px
constexpr uint32_t kOpaque = 0xFF000000u;
constexpr uint32_t kBar = 0xFF000000u;  // black

// a + (b - a) * w / 256 in each colour channel, rounded down; w in [0, 256).
inline uint32_t mix(uint32_t a, uint32_t b, uint32_t w) {
    const uint32_t keep = 256 - w;
    const uint32_t rb = ((a & 0xFF00FFu) * keep + (b & 0xFF00FFu) * w) >> 8;
    const uint32_t g = ((a & 0x00FF00u) * keep + (b & 0x00FF00u) * w) >> 8;
    return kOpaque | (rb & 0xFF00FFu) | (g & 0x00FF00u);
}

// Where window px i (from the letterbox's edge, of `span` px across) samples the canvas (`size`
// px across): the centre of i mapped back, as 16.16 fixed point, clamped to the first and last
// canvas px. Walked px by px with its exact remainder, so that every start gives the same values.
class Sampler {
public:
    Sampler(int i, int span, int size)
        : den_(2 * int64_t{span}), step_(2 * int64_t{size} * 65536), last_(int64_t{size - 1} * 65536) {
        const int64_t num = (2 * int64_t{i} + 1) * int64_t{size} * 65536;
        q_ = num / den_;
        r_ = num % den_;
    }
    // 16.16 canvas position of the current px.
    int64_t at() const { return std::clamp<int64_t>(q_ - 32768, 0, last_); }
    int index() const { return static_cast<int>(at() >> 16); }
    uint32_t weight() const { return static_cast<uint32_t>((at() >> 8) & 0xFF); }
    void next() {
        q_ += step_ / den_;
        r_ += step_ % den_;
        if (r_ >= den_) {
            r_ -= den_;
            ++q_;
        }
    }

private:
    int64_t den_, step_, last_;
    int64_t q_ = 0, r_ = 0;
};

bool wholeScale(const Letterbox& box) {
    return box.w % kCanvasW == 0 && box.h == box.w / kCanvasW * kCanvasH;
}

WindowRect clipToBox(const WindowRect& r, const Letterbox& box) {
    return {std::max(r.x0, box.x), std::max(r.y0, box.y), std::min(r.x1, box.x + box.w),
            std::min(r.y1, box.y + box.h)};
}

// Each canvas px as k x k window px.
void replicate(const uint32_t* canvas, const Letterbox& box, const WindowRect& part, const WindowPixels& to, int k) {
    for (int y = part.y0; y < part.y1; ++y) {
        const uint32_t* from = canvas + static_cast<size_t>((y - box.y) / k) * kCanvasW;
        uint32_t* row = to.pixels + static_cast<size_t>(y) * static_cast<size_t>(to.pitch);
        if (k == 1) {
            std::copy(from + (part.x0 - box.x), from + (part.x1 - box.x), row + part.x0);
            continue;
        }
        for (int x = part.x0; x < part.x1; ++x) row[x] = from[(x - box.x) / k];
    }
}

// Bilinear: for each window row, the two canvas rows it lies between are mixed once over the
// canvas columns the part reaches, then each window px mixes two neighbours of that row.
void smooth(const uint32_t* canvas, const Letterbox& box, const WindowRect& part, const WindowPixels& to) {
    const Sampler firstColumn(part.x0 - box.x, box.w, kCanvasW);
    Sampler lastColumn(part.x1 - 1 - box.x, box.w, kCanvasW);
    const int c0 = firstColumn.index();
    const int c1 = std::min(lastColumn.index() + 1, kCanvasW - 1);  // inclusive
    uint32_t mixed[kCanvasW];
    Sampler row(part.y0 - box.y, box.h, kCanvasH);
    for (int y = part.y0; y < part.y1; ++y, row.next()) {
        const int r0 = row.index();
        const int r1 = std::min(r0 + 1, kCanvasH - 1);
        const uint32_t wy = row.weight();
        const uint32_t* a = canvas + static_cast<size_t>(r0) * kCanvasW;
        const uint32_t* b = canvas + static_cast<size_t>(r1) * kCanvasW;
        for (int c = c0; c <= c1; ++c) mixed[c] = mix(a[c], b[c], wy);
        uint32_t* out = to.pixels + static_cast<size_t>(y) * static_cast<size_t>(to.pitch);
        Sampler column = firstColumn;
        for (int x = part.x0; x < part.x1; ++x, column.next()) {
            const int i = column.index();
            out[x] = mix(mixed[i], mixed[std::min(i + 1, kCanvasW - 1)], column.weight());
        }
    }
}

}  // namespace

WindowRect windowRectOf(const CanvasRect& changed, const Letterbox& box) {
    if (changed.empty() || box.w <= 0 || box.h <= 0) return {};
    // A window px reads the canvas px at its mapped centre and the next one: widened by one
    // canvas px on each side, then rounded out.
    auto across = [](int c0, int c1, int offset, int span, int size, int& w0, int& w1) {
        w0 = offset + static_cast<int>(std::max<int64_t>(0, int64_t{c0 - 1} * span / size));
        w1 = offset + static_cast<int>(std::min<int64_t>(span, (int64_t{c1 + 1} * span + size - 1) / size));
    };
    WindowRect r;
    across(changed.x0, changed.x1, box.x, box.w, kCanvasW, r.x0, r.x1);
    across(changed.y0, changed.y1, box.y, box.h, kCanvasH, r.y0, r.y1);
    return clipToBox(r, box);
}

void scaleCanvas(const uint32_t* canvas, const Letterbox& box, const WindowRect& part, const WindowPixels& to) {
    const WindowRect p = clipToBox(part, box);
    if (p.empty() || canvas == nullptr || to.pixels == nullptr) return;
    if (wholeScale(box)) {
        replicate(canvas, box, p, to, box.w / kCanvasW);
    } else {
        smooth(canvas, box, p, to);
    }
}

void drawWholeWindow(const uint32_t* canvas, const Letterbox& box, const WindowPixels& to) {
    for (int y = 0; y < to.height; ++y) {
        uint32_t* row = to.pixels + static_cast<size_t>(y) * static_cast<size_t>(to.pitch);
        if (y < box.y || y >= box.y + box.h) {
            std::fill(row, row + to.width, kBar);
            continue;
        }
        std::fill(row, row + std::min(box.x, to.width), kBar);
        std::fill(row + std::min(box.x + box.w, to.width), row + to.width, kBar);
    }
    scaleCanvas(canvas, box, {box.x, box.y, box.x + box.w, box.y + box.h}, to);
}

}  // namespace lumen
