// The platform side of Lumen: a small table of functions per backend. The headless backend
// (backend_headless.cpp) shows nothing and reads no input; a window backend lives in a file of
// its own and is handed to the Session by exports.cpp.
#pragma once

#include <cstdint>

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

#if defined(_WIN32)
// The Win32 window (backend_win32.cpp). Its open() takes the Init record's HICON as `icon`.
const Backend& win32Backend();
#endif

}  // namespace lumen
