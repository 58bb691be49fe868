// The platform side of Lumen's window: one table of functions per backend, each backend a file
// of its own in backends/ (headless.cpp, which also spells out the whole contract; sdl.cpp;
// win32.cpp; web.cpp). exports.cpp hands the platform's window backend to the Session; the
// Session falls back to the headless one when there is none or it cannot open. What every
// backend shares (canvas size, letterbox, pointer mapping, the input queue, the .ico decoder)
// lives in pixels/ and run/input.h.
#pragma once

#include <cstdint>

#include "pixels/canvas.h"
#include "run/input.h"
#include "lumen/lumen.h"

#if defined(_WIN32)
struct HICON__;  // what an HICON points to (<windows.h>)
#endif

namespace lumen {

// The Init record's icon as the program gave it, typed in this platform's form; null: no icon.
#if defined(_WIN32)
struct WindowIcon {
    HICON__* handle = nullptr;  // an HICON (LoadIconW); the program keeps it alive
};
#else
struct WindowIcon {
    const IconFile* file = nullptr;  // an .ico file image in memory, checked by the Session
};
#endif

// The Init record's icon field (InitRecord::icon, a const void*) read as this platform's form.
inline WindowIcon windowIconOf(const void* recordIcon) {
#if defined(_WIN32)
    return WindowIcon{static_cast<HICON__*>(const_cast<void*>(recordIcon))};
#else
    return WindowIcon{static_cast<const IconFile*>(recordIcon)};
#endif
}

struct Backend {
    const char* name;  // "headless", "sdl", "win32", "web"
    // Opens the window titled `title` (UTF-8) with `icon`; false if it cannot (no display).
    bool (*open)(const char* title, WindowIcon icon);
    // Shows one frame: width x height (the canvas size) px 0xAARRGGBB, row-major, top row first,
    // of which only the boxes of `changed` (canvas px; the whole canvas the first time, none
    // when the frame is the previous one) differ from the previous frame.
    void (*present)(const uint32_t* pixels, int width, int height, const CanvasRegion& changed);
    // Brings `input` to the next frame (pointer in canvas px, buttons); true: close requested.
    bool (*poll)(InputState& input);
    // Closes the window and gives back what open() took; open() is not called again.
    void (*close)();
    // Null: the Session paces by sleeping. Else the display sets the beat: pauses until the
    // display's next frame and gives its time (ms, steady clock); the Session's pacer calls it
    // until a frame is due (a browser's animation frames).
    double (*displayFrame)();
};

// The backend without a window (backends/headless.cpp): every platform, the fallback.
const Backend& headlessBackend();

#if defined(LUMEN_HAVE_SDL)
// The SDL2 window (backends/sdl.cpp): the Linux window.
const Backend& sdlBackend();
#endif

#if defined(_WIN32)
// The Win32 window (backends/win32.cpp).
const Backend& win32Backend();
#endif

#if defined(__EMSCRIPTEN__)
// The page's canvas (backends/web.cpp); open() fails outside a browser page (node).
const Backend& webBackend();
#endif

}  // namespace lumen
