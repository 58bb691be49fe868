// One small wrapper per runtime operation that the demo calls. Each passes its arguments on
// unchanged and returns the operation's result; faults pass through untouched.
#pragma once

#include <cstdint>

#include "runtime/runtime.h"

namespace rt {

// Paces the frame, shows what was drawn since the last Act and samples the mouse.
inline void Act() { op<LumenActFn>(Name::Act)(); }
// 0 up, 1 in the frame the button went down, 2.. while held. button: 0 left, 1 right.
inline int64_t Mouse(int64_t button) { return op<LumenMouseFn>(Name::Mouse)(button); }
// Pointer position, canvas px.
inline double MouseX() { return op<LumenMouseXFn>(Name::MouseX)(); }
inline double MouseY() { return op<LumenMouseYFn>(Name::MouseY)(); }
// Uniform random Int in [lo, hi].
inline int64_t Rnd(int64_t lo, int64_t hi) { return op<LumenRndFn>(Name::Rnd)(lo, hi); }
// Uniform random Float in [0, 1).
inline double RndF() { return op<LumenRndFFn>(Name::RndF)(); }
// Fills [x, x+w) x [y, y+h) (canvas px) with colour (r, g, b) in [0, 1] at opacity a.
inline void DrawRect(double x, double y, double w, double h, double r, double g, double b,
                     double a) {
    op<LumenDrawRectFn>(Name::DrawRect)(x, y, w, h, r, g, b, a);
}

}  // namespace rt
