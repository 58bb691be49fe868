// The headless backend: no window. The script gives the input, frames go nowhere but to the
// capture. It is every platform's fallback (no window backend, no display, LUMEN_HEADLESS=1).
//
// It is also the template of a new backend: copy this file, keep the backend's state and its
// open, present, poll and close in the one struct (a window, its renderer, its InputQueue),
// make the table with backendOf (the fifth entry, displayFrame, stays null unless the display
// sets the beat), declare the table's function in backend.h, add the backend's column to the
// feature matrix there, and keep in the banner only what it provides beyond the matrix, its
// limits and what it depends on.
//
// Provides: nothing to see; open() always succeeds, present() shows nothing, poll() leaves the
// input as the script sets it and never asks to end the run.
// Limits: no window, no input of its own.
// Depends on: nothing.
#include "backends/backend.h"

namespace lumen {

namespace {

// Everything the backend keeps between calls; the headless one has nothing to keep.
struct Headless {
    bool open(const char* /*title*/, WindowIcon /*icon*/) { return true; }
    void present(const uint32_t* /*pixels*/, int /*width*/, int /*height*/, const CanvasRegion& /*changed*/) {}
    bool poll(InputState& /*input*/) { return false; }
    void close() {}
};

Headless headless;

constexpr Backend kBackend = backendOf<headless>("headless");

}  // namespace

const Backend& headlessBackend() { return kBackend; }

}  // namespace lumen
