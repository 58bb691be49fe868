// The headless backend: no window. The script gives the input, frames go nowhere but to the
// capture. It is every platform's fallback (no window backend, no display, LUMEN_HEADLESS=1, a
// script) and the template of a backend: copy this file, fill in the four functions as the
// comments below say, keep the state in the one struct, and tick the checklist.
//
// Provides: nothing to see; open() always succeeds, poll() leaves the input as the script
// sets it and never asks to end the run.
// Limits: no window, no input of its own.
// Depends on: nothing.
//
// Contract checklist ([x] this backend provides it, [ ] it does not); a window backend ticks
// what it does and says why it leaves anything out:
//   [ ] window open; false without a display (Lumen then falls back to this backend, whose
//       open() always succeeds)
//   [ ] title (UTF-8, from the Init record)
//   [ ] icon (WindowIcon: the Init record's icon in the platform's form)
//   [ ] present: the canvas letterboxed into the window (lumen/pixels/letterbox.h: letterbox)
//   [ ] high pixel density (more drawable px than window points)
//   [ ] resize, the canvas following the window
//   [ ] pointer in canvas px, not clamped (lumen/pixels/letterbox.h: windowToCanvas)
//   [ ] button latch: each press and release in a frame of its own (lumen/run/input.h: InputQueue)
//   [ ] close request ends the run (poll() returns true)
//   [ ] Escape ends the run as a close request does (poll() returns true); no other key is
//       the program's input, and none goes into the InputQueue or a recording
//   [ ] F11 and Alt+Enter: fullscreen on the window's screen at the desktop's resolution and
//       back; present() letterboxes into the new size as into any other
//
// Here none applies: there is no window. The boxes above are for a window backend.
#include "backends/backend.h"

namespace lumen {

namespace {

// Everything a backend keeps between calls, in one struct with one instance; a window backend
// holds its window, its renderer and its InputQueue here. The headless one has nothing to keep.
struct Headless {
    // open: called once, from Init, inside Lumen's floating-point mode. Creates the window with
    // `title` (UTF-8; never null) and `icon` (the program's, may be null) at its first size
    // (lumen/pixels/letterbox.h: initialWindowSize, or the platform's own rule) and shows it. Returns false
    // when there is no display or anything fails, having given back what it took: the Session
    // then runs headless. Never raises a fault.
    bool open(const char* /*title*/, WindowIcon /*icon*/) { return true; }

    // present: called once per Act of a window run with the finished frame, Canvas::kWidth x
    // Canvas::kHeight px 0xAARRGGBB, row-major, top row first, no padding, and the boxes of
    // `changed` (canvas px) outside which it equals the previous frame: the whole canvas the
    // first time, none when nothing changed. Shows it letterboxed (black bars) into the window
    // at its current size (lumen/pixels/letterbox.h: letterbox), updating only what changed; it keeps the
    // whole frame so that an expose, a resize or a fullscreen switch can redraw everything.
    // Must not block on the display: the Session paces frames itself. (A headless run is not
    // presented at all: nothing reads its pixels.)
    //
    // displayFrame (the table's last entry, not a member here): null for a backend whose
    // Session paces by sleeping, as every desktop window does. A display that sets the beat
    // itself (a browser's animation frames, web.cpp) gives a function that pauses until its
    // next frame and returns that frame's time in ms; the Session's pacer then takes only the
    // display frames at which a frame is due.
    void present(const uint32_t* /*pixels*/, int /*width*/, int /*height*/, const CanvasRegion& /*changed*/) {}

    // poll: called once per Act before the program reads the mouse. Takes every pending event
    // of the window: pointer moves and button presses and releases go into an InputQueue,
    // mapped to canvas px (lumen/pixels/letterbox.h: windowToCanvas), then queue.take(input) fills
    // `input`. Returns true once the user asked to close the window or pressed Escape (the
    // run ends). F11 and Alt+Enter toggle fullscreen here too; keys never reach `input`.
    bool poll(InputState& /*input*/) { return false; }

    // close: called once, from Free, after a successful open(). Destroys the window and gives
    // back everything open() took; the struct is as new afterwards.
    void close() {}
};

Headless headless;

}  // namespace

const Backend& headlessBackend() {
    static const Backend backend{
        "headless",
        [](const char* title, WindowIcon icon) { return headless.open(title, icon); },
        [](const uint32_t* pixels, int width, int height, const CanvasRegion& changed) {
            headless.present(pixels, width, height, changed);
        },
        [](InputState& input) { return headless.poll(input); },
        [] { headless.close(); },
        nullptr,  // displayFrame: paced by the Session
    };
    return backend;
}

}  // namespace lumen
