// The X11 side of the SDL window (backends/sdl.cpp): whether an X display answers, and a watch
// on the connection SDL opened, so that the display or the window going away ends the run in
// order instead of through the X library's own handlers, which print their lines and exit.
#pragma once

#include <string>

namespace lumen::x11 {

// What an X display does when asked for a connection.
enum class Answer {
    Yes,      // it answered (also with a refusal: the X library then says why)
    Absent,   // nothing listens there: no socket, the connection refused
    Silent,   // it took the connection but gave no answer within the time
    Unknown,  // a name of a form not probed here: leave it to the X library
};

// Asks the X display `name` (DISPLAY's form, [HOST]:N[.S]) for a connection and waits at most
// `timeoutMs` (ms, >= 0) for its first answer.
Answer probeDisplay(const std::string& name, int timeoutMs);

// What went away while watched.
enum class Loss {
    Nothing,
    Window,   // the window was destroyed, or its connection killed (xkill), by another client
    Display,  // the display went away (its server ended, or stopped answering)
};

// Watches `display` (SDL's X Display*) and `window` (its X window id): the X library's I/O
// error handler, its exit handler for this display and its error handler are replaced by ones
// that note what went away and return. False when the X library is not loaded.
bool watch(void* display, unsigned long window);
// Takes an X event that SDL passed on (an XEvent*): notes the window's DestroyNotify.
void noteEvent(const void* xevent);
// What went away since watch(); after a lost connection, asks the display once whether it still
// answers (up to 1 s) to tell a killed window from a display that went away.
Loss loss();
// The display's name as the X library gave it (":99"); "" before watch().
const std::string& displayName();
// Gives the X library its earlier handlers back; call after SDL has closed the display.
void unwatch();

}  // namespace lumen::x11
