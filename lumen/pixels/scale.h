// The canvas scaled into a window's pixels by Lumen itself, so that a frame costs what changed:
// only the window pixels that a changed canvas box reaches are computed and sent. Whole-number
// scales replicate each canvas px into k x k window px; every other scale samples bilinearly
// (pixel centres aligned, edges clamped) in integer arithmetic, so that any part computed alone
// equals the same part of the whole picture, on every platform.
#pragma once

#include <cstdint>

#include "pixels/canvas.h"
#include "pixels/letterbox.h"

namespace lumen {

// A rectangle of window px, [x0, x1) x [y0, y1).
struct WindowRect {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
};

// Window px with 32-bit pixels laid out as the canvas's (0xAARRGGBB in a uint32_t); `pitch` in
// pixels from one row to the next.
struct WindowPixels {
    uint32_t* pixels = nullptr;
    int width = 0, height = 0;  // window px
    int pitch = 0;              // pixels per row, >= width
};

// The window px of letterbox `box` whose value depends on canvas box `changed`, rounded out and
// clipped to the letterbox; empty when either is empty.
WindowRect windowRectOf(const CanvasRect& changed, const Letterbox& box);

// Writes window px `part` (clipped to the letterbox) of the canvas `canvas` (Canvas::kWidth x
// Canvas::kHeight px) scaled into `box` of `to`.
void scaleCanvas(const uint32_t* canvas, const Letterbox& box, const WindowRect& part, const WindowPixels& to);

// Writes the whole window: the bars around `box` black, the letterbox the scaled canvas.
void drawWholeWindow(const uint32_t* canvas, const Letterbox& box, const WindowPixels& to);

}  // namespace lumen
