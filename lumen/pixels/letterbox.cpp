// The arithmetic every window backend shares (window.h).
#include "pixels/letterbox.h"

#include <cmath>
#include <cstdint>

#include "pixels/canvas.h"

namespace lumen {

namespace {
constexpr int kCanvasW = Canvas::kWidth;   // canvas px
constexpr int kCanvasH = Canvas::kHeight;  // canvas px
// Room left around the first window for its frame and the desktop's edges, points.
constexpr int kFrameRoomW = 32;
constexpr int kFrameRoomH = 80;
}  // namespace

Letterbox letterbox(int areaW, int areaH) {
    if (areaW <= 0 || areaH <= 0) return {0, 0, 0, 0};
    // Width-limited first; if that is too tall, height-limited. Rounded to the nearest pixel.
    int w = areaW;
    int h = static_cast<int>((int64_t{areaW} * kCanvasH + kCanvasW / 2) / kCanvasW);
    if (h > areaH) {
        h = areaH;
        w = static_cast<int>((int64_t{areaH} * kCanvasW + kCanvasH / 2) / kCanvasH);
    }
    return {(areaW - w) / 2, (areaH - h) / 2, w, h};
}

void windowToCanvas(double wx, double wy, int windowW, int windowH, int drawableW,
                    int drawableH, double& cx, double& cy) {
    const Letterbox box = letterbox(drawableW, drawableH);
    if (windowW <= 0 || windowH <= 0 || box.w <= 0 || box.h <= 0) {
        cx = 0.0;
        cy = 0.0;
        return;
    }
    // Points to drawable px, then into the canvas rectangle. At 1:1 every step is exact.
    const double px = wx * drawableW / windowW;
    const double py = wy * drawableH / windowH;
    cx = (px - box.x) * kCanvasW / box.w;
    cy = (py - box.y) * kCanvasH / box.h;
}

void initialWindowSize(int usableW, int usableH, int& w, int& h) {
    const int roomW = usableW - kFrameRoomW;
    const int roomH = usableH - kFrameRoomH;
    if (roomW >= kCanvasW && roomH >= kCanvasH) {
        w = kCanvasW;
        h = kCanvasH;
        return;
    }
    // The largest 16:9 size inside the room, at least 160 x 90.
    w = roomW;
    h = static_cast<int>(int64_t{roomW} * kCanvasH / kCanvasW);
    if (h > roomH) {
        h = roomH;
        w = static_cast<int>(int64_t{roomH} * kCanvasW / kCanvasH);
    }
    if (w < 160 || h < 90) {
        w = 160;
        h = 90;
    }
}

PageArea pageArea(int cssW, int cssH, double density) {
    if (!(density > 0.0)) density = 1.0;
    const auto device = [density](int css) {
        return css > 0 ? static_cast<int>(std::lround(css * density)) : 0;
    };
    return {cssW, cssH, device(cssW), device(cssH)};
}

PageBox pageBox(const PageArea& area) {
    const Letterbox box = letterbox(area.deviceW, area.deviceH);
    if (box.w <= 0 || box.h <= 0) return {0.0, 0.0, 0.0, 0.0};
    // CSS px per device px, per axis: the device sizes are rounded.
    const double sx = static_cast<double>(area.cssW) / area.deviceW;
    const double sy = static_cast<double>(area.cssH) / area.deviceH;
    return {box.x * sx, box.y * sy, box.w * sx, box.h * sy};
}

void pageToCanvas(const PageArea& area, double x, double y, double& cx, double& cy) {
    windowToCanvas(x, y, area.cssW, area.cssH, area.deviceW, area.deviceH, cx, cy);
}

}  // namespace lumen
