// The platform side of Lumen: a small table of functions per backend. The headless backend
// (backend_headless.cpp) shows nothing and reads no input; a window backend lives in a file of
// its own and is handed to the Session by exports.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/input.h"
#include "lumen/lumen.h"

namespace lumen {

struct Backend {
    const char* name;
    // Opens the window with `title` (UTF-8) and `icon` (may be null). False when it cannot
    // (no display): Lumen then runs headless.
    bool (*open)(const char* title, const IconFile* icon);
    // Shows one frame: width x height pixels 0xAARRGGBB, row-major, top row first, no padding.
    void (*present)(const uint32_t* pixels, int width, int height);
    // Brings `input` up to date (pointer in canvas px, buttons). True: the user asked to end
    // the run (the window was closed).
    bool (*poll)(InputState& input);
    // Closes the window; open() may not be called again.
    void (*close)();
};

// The backend without a window.
const Backend& headlessBackend();

#if defined(LUMEN_HAVE_SDL)
// The SDL2 window (backend_sdl.cpp): the Linux window.
const Backend& sdlBackend();

// Pieces of the SDL window that do not need a display, for tests.
namespace sdl {
// Where the canvas lies in a drawable of drawableW x drawableH px (> 0): the largest
// 1600:900 rectangle that fits, centred; drawable px.
struct Letterbox {
    int x, y, w, h;
};
Letterbox letterbox(int drawableW, int drawableH);
// A pointer at window point (wx, wy) to canvas px, for a window of windowW x windowH points
// drawn at drawableW x drawableH px. Not clamped: outside the canvas gives values outside
// [0, 1600] x [0, 900].
void windowToCanvas(double wx, double wy, int windowW, int windowH, int drawableW,
                    int drawableH, double& cx, double& cy);
// The first window size, in points, for a display whose usable area is usableW x usableH:
// 1600 x 900 if it fits with room for the window frame, else the largest 16:9 size that does.
void initialWindowSize(int usableW, int usableH, int& w, int& h);
// One image of an .ico file: 0xAARRGGBB, row-major, top row first.
struct IconImage {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
};
// Decodes the 32-bpp bitmap entry of `size` x `size` px, or else the largest one; false if the
// file holds none that is whole (PNG and other depths are skipped).
bool decodeIcon(const uint8_t* data, std::size_t bytes, int size, IconImage& out);
}  // namespace sdl
#endif

#if defined(_WIN32)
// The Win32 window (backend_win32.cpp). Its open() takes the Init record's HICON as `icon`.
const Backend& win32Backend();
#endif

}  // namespace lumen
