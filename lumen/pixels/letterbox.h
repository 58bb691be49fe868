// The arithmetic every window backend shares: where the canvas lies in a window (letterboxed,
// aspect ratio kept), how a pointer in the window maps back to canvas px, and the first window
// size for a display. Nothing here touches a display.
#pragma once

namespace lumen {

// Where the canvas lies in an area: the largest Canvas::kWidth:Canvas::kHeight rectangle that
// fits, centred; px of the area (a drawable, a client area).
struct Letterbox {
    int x, y, w, h;
};
// The canvas's rectangle in an area of areaW x areaH px, rounded to the nearest pixel; all
// zero when either side is <= 0.
Letterbox letterbox(int areaW, int areaH);

// A pointer at window point (wx, wy) to canvas px, for a window of windowW x windowH points
// drawn at drawableW x drawableH px (more px than points at high density; equal elsewhere).
// Not clamped: outside the canvas gives values outside [0, kWidth] x [0, kHeight]. (0, 0) when
// any size is <= 0. Exact at whole-number scales.
void windowToCanvas(double wx, double wy, int windowW, int windowH, int drawableW,
                    int drawableH, double& cx, double& cy);

// The first window size, in points, for a display whose usable area is usableW x usableH
// points: the canvas size if it fits with room for the window frame, else the largest 16:9
// size that does, at least 160 x 90.
void initialWindowSize(int usableW, int usableH, int& w, int& h);

// A browser page's area for the canvas (backends/web.cpp): its size in CSS px, which serve as
// the window's points, and in device px, which serve as its drawable.
struct PageArea {
    int cssW, cssH;        // CSS px
    int deviceW, deviceH;  // device px
};
// The area of cssW x cssH CSS px at `density` device px per CSS px (devicePixelRatio; 1 when
// not > 0), its device px rounded to the nearest.
PageArea pageArea(int cssW, int cssH, double density);
// Where the canvas lies in a page's area, CSS px: letterbox() of its device px, in CSS px.
struct PageBox {
    double x, y, w, h;  // CSS px
};
PageBox pageBox(const PageArea& area);
// A pointer at (x, y) CSS px of the area to canvas px (windowToCanvas), not clamped.
void pageToCanvas(const PageArea& area, double x, double y, double& cx, double& cy);

}  // namespace lumen
