// The platform side of Lumen's window, and the contract every backend keeps: one table of
// functions per backend (Backend), each backend a file of its own in backends/. exports.cpp
// hands the platform's window backend to the Session, which falls back to the headless one when
// there is none, it cannot open, or LUMEN_HEADLESS=1. What every backend shares (canvas size,
// letterbox, pointer mapping, the input queue, the .ico decoder) lives in pixels/ and
// run/input.h. A new backend starts as a copy of headless.cpp.
//
// What a window backend provides ("-": there is no window to have it; a number: a note below):
//
//   feature                                       headless  sdl    win32  web
//   open; false without a display                 always    yes 1  yes    yes 2
//   title (UTF-8, the Init record's)              -         yes    yes    yes 3
//   icon (WindowIcon, the Init record's)          -         yes 4  yes    yes 5
//   present letterboxed, only the changed boxes   -         yes 10 yes 10 yes
//   high pixel density                            -         yes    yes    yes
//   resize, the canvas following the window       -         yes    yes    yes 6
//   pointer in canvas px, unclamped, captured     -         yes    yes    yes
//   button latch                                  -         yes    yes    yes
//   close request ends the run                    -         yes    yes    yes 7
//   the window destroyed by another: as closed    -         yes 9  yes    -
//   the display going away: kDisplayLost (lost)   -         yes 9  no     no
//   Escape ends the run                           -         yes    yes    yes
//   F11 and Alt+Enter: fullscreen and back        -         yes    yes    no 8
//   fullscreen at open (--fullscreen)             -         yes    yes    no 8
//   F12: a picture of the canvas asked for        -         yes    yes    yes
//   pacing by the display (displayFrame)          no        no     no     yes
//
//   1 also false without the SDL library.  2 the page's canvas; false without a page (node).
//   3 the page's title.  4 the .ico image's 64 px entry, or its largest.  5 the page's favicon,
//   the .ico image itself.  6 the area is measured every frame.  7 the page's end request
//   (window.stackrise.end() sets Module.lumenCloseRequested).
//   8 the browser keeps F11 for its own fullscreen, which the canvas follows as any resize; the
//   page's own is a button, since only a user's gesture may ask for it.
//   9 on X11 (sdl_x11.h), with libX11 1.7 or later; a killed connection (xkill) whose display
//   still answers counts as the window destroyed.
//   10 scaled by Lumen (pixels/scale.h) into the window's pixels (SDL's window surface, a DIB
//   section on Win32), only the window px the changed boxes reach, and those rectangles alone
//   sent to the window system.
//
// The features:
// - open: the window at its first size (pixels/letterbox.h: initialWindowSize, or the
//   platform's own rule) and shown; false when there is no display or anything fails, having
//   given back what it took, and the run is headless.
// - present: the canvas letterboxed (black bars) into the window at its current size
//   (pixels/letterbox.h: letterbox); only the boxes that changed are drawn again and an
//   unchanged frame not at all; the backend keeps the whole frame, so that an expose, a resize
//   or a fullscreen switch can draw everything again.
// - high pixel density: more drawable px than window points, the letterbox worked in drawable px.
// - pointer: mapped to canvas px (pixels/letterbox.h: windowToCanvas), not clamped (in the bars
//   or outside the window it lies outside the canvas), and captured while a button is held.
// - button latch: every press and release goes through an InputQueue (run/input.h), so each
//   reaches the program in a frame of its own.
// - close request, Escape: poll() returns true and Act ends the run (fault 0). No key is the
//   program's input: none goes into the InputQueue or a recording.
// - F11 and Alt+Enter: fullscreen on the window's screen at the desktop's resolution, and back;
//   present() letterboxes into the new size as into any other.
// - F12: InputQueue::askPicture(); the Session saves the next frame it presents (run/snapshot.h).
// - pacing: without displayFrame the Session paces by sleeping; present() never blocks on the
//   display.
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

// The window's keys, for --help and the line a window run starts with; each window backend
// serves them (the feature matrix above), and none of them is the program's input.
struct WindowKey {
    const char* keys;    // "F11, Alt+Enter"
    const char* effect;  // "fullscreen on the window's screen, and back"
    const char* brief;   // for the line a window run starts with: "F11 fullscreen"
};
inline constexpr WindowKey kWindowKeys[] = {
    {"Escape, closing the window", "ends the run in order", "Escape or closing the window ends the run"},
    {"F11, Alt+Enter", "fullscreen on the window's screen, and back", "F11 fullscreen"},
    {"F12", "saves what the window shows as a PNG in your pictures folder (a download on the page)",
     "F12 saves a picture"},
};

// A backend's five entries. The Session calls them inside Lumen's floating-point mode (an entry
// point's FpGuard); none raises a fault.
struct Backend {
    const char* name;  // "headless", "sdl", "win32", "web"
    // Called once, from Init: opens the window titled `title` (UTF-8, never null) with `icon`
    // (may be null); false if it cannot.
    bool (*open)(const char* title, WindowIcon icon);
    // Called once per Act of a window run (a headless run is not presented): shows one frame of
    // width x height (the canvas size) px 0xAARRGGBB, row-major, top row first, no padding, of
    // which only the boxes of `changed` (canvas px; the whole canvas the first time, none when
    // the frame is the previous one) differ from the previous frame.
    void (*present)(const uint32_t* pixels, int width, int height, const CanvasRegion& changed);
    // Called once per Act, before the program reads the mouse: takes every pending event of the
    // window and brings `input` to this frame (InputQueue::take); true: end the run.
    bool (*poll)(InputState& input);
    // Called once, from Free, after a successful open(): closes the window and gives back all
    // that open() took; open() is not called again.
    void (*close)();
    // Null: the Session paces by sleeping. Else the display sets the beat: pauses until the
    // display's next frame and gives its time (ms, steady clock); the Session's pacer calls it
    // until a frame is due (a browser's animation frames).
    double (*displayFrame)();
    // Null where the display cannot go away. Else, after a poll() that returned true: the
    // message (UTF-8, kept until close()) when the run ends because the display went away,
    // which Act raises as kDisplayLost; null when it ends as a closed window does.
    const char* (*lost)();
    // Null: the backend has no fullscreen of its own asking. Else called once, right after a
    // successful open(), for --fullscreen: the window goes fullscreen as F11 makes it.
    void (*fullscreen)() = nullptr;
};

// The table of a backend kept in one object, `window`, of static storage, whose members
// open, present, poll and close are the entries of the same names; `displayFrame` and `lost`
// as above.
template <auto& window>
constexpr Backend backendOf(const char* name, double (*displayFrame)() = nullptr,
                            const char* (*lost)() = nullptr) {
    return Backend{
        name,
        [](const char* title, WindowIcon icon) { return window.open(title, icon); },
        [](const uint32_t* pixels, int width, int height, const CanvasRegion& changed) {
            window.present(pixels, width, height, changed);
        },
        [](InputState& input) { return window.poll(input); },
        [] { window.close(); },
        displayFrame,
        lost,
    };
}

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
