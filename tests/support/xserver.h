// What the window tests need around the real program: a private X server (Xvfb), the program
// run as a child on it, real input through xdotool, and a look at the window with Xlib.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/no_copy.h"
#include "support/trace.h"

namespace wintest {

using Seconds = std::chrono::duration<double>;

// True if an Xvfb executable is on PATH (or in /usr/bin).
bool haveXvfb();

// Polls `done` every 20 ms until it is true or `limit` has passed; returns its last value.
bool waitUntil(const std::function<bool()>& done, Seconds limit = Seconds(30));

// An Xvfb of its own, on the first free display number (it picks it: -displayfd), with one
// width x height x 24 screen (px) and no TCP listener. Stopped by the destructor.
class XServer : test_support::NoCopy {
public:
    explicit XServer(int width = 1920, int height = 1080);
    ~XServer();

    bool ok() const { return display_ >= 0; }
    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }
    // e.g. ":3"; appended, since GCC 12 at -O3 reports a false -Wrestrict for ":" + s.
    std::string display() const { return std::string(":").append(std::to_string(display_)); }

    // Runs `xdotool ARGS` on this display; returns its standard output ("" on failure).
    std::string xdotool(const std::string& args) const;
    // Ends the server now (SIGTERM, as a session's end does) and waits for it.
    void stop();

private:
    pid_t pid_ = -1;
    int display_ = -1;
    std::string error_;
};

// The real program as a child: a minimal environment (PATH, HOME, the sanitizer options) plus
// `env`, standard error into a file, a trace file when `env` does not name one.
class Child : test_support::NoCopy {
public:
    // `args` follow the program's name on its command line.
    Child(const std::string& exe, const std::map<std::string, std::string>& env,
          const std::vector<std::string>& args = {});
    ~Child();  // kills it if it still runs

    void signal(int sig) const;
    // Waits for the exit; returns the status (exit code, or 128 + signal), or -1 if it still runs
    // after `limit` (then it is killed).
    int wait(Seconds limit = Seconds(60));
    bool exited() const { return exited_; }
    pid_t pid() const { return pid_; }

    std::vector<std::string> trace() const;  // the trace's lines so far
    std::string err() const;                 // standard error so far
    const std::string& dir() const { return dir_; }  // its own temporary directory

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string dir_;
    std::string tracePath_;
};

// Trace helpers.
// The last frame number in `trace` ("Act N"), 0 if none.
int64_t lastFrame(const std::vector<std::string>& trace);
using test_support::find;
using test_support::findLine;
// True once the DrawRect lines of the last `frames` whole frames are all the same (and there
// are that many frames): nothing moves on the canvas.
bool stillFor(const std::vector<std::string>& trace, int frames);
// The DrawRect lines of the trace, in order.
std::vector<std::string> drawRects(const std::vector<std::string>& trace);

// Xlib views of one window.
struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;  // root-relative position, size in px
};
class XView : test_support::NoCopy {
public:
    explicit XView(const std::string& display);
    ~XView();
    bool ok() const { return display_ != nullptr; }

    Geometry geometry(unsigned long window) const;
    // The window's pixels, 0x00RRGGBB, row-major (empty if it cannot be read).
    std::vector<uint32_t> pixels(unsigned long window, int width, int height) const;
    // _NET_WM_ICON: width, height, then 0xAARRGGBB pixels (empty if unset).
    std::vector<uint32_t> icon(unsigned long window) const;
    // Asks the window to close the way a window manager does (WM_DELETE_WINDOW).
    void requestClose(unsigned long window) const;
    // Destroys the window from this connection, as another client may (XDestroyWindow).
    void destroyWindow(unsigned long window) const;
    // What the X server holds for the client that made `window`: resource type name
    // ("GLXContext", "WINDOW", ...) to count, from the X-Resource extension; empty if the server
    // has none.
    std::map<std::string, unsigned> clientResources(unsigned long window) const;

private:
    void* display_ = nullptr;  // Display*
};

// A window manager of the least kind, on a thread with its own connection to `display`: it
// maps and configures windows as they ask, gives a newly mapped window the focus, and honours
// _NET_WM_STATE_FULLSCREEN as a desktop's window manager does (added: the window covers the
// screen; removed: it gets its earlier geometry back). Xvfb has none, and without one a
// window's request for fullscreen goes unanswered. Stopped by the destructor.
class WindowManager : test_support::NoCopy {
public:
    explicit WindowManager(const std::string& display);
    ~WindowManager();
    bool ok() const { return display_ != nullptr; }

private:
    void run();
    void fullscreen(unsigned long window, long action);  // action: 0 remove, 1 add, 2 toggle

    void* display_ = nullptr;  // Display*
    std::atomic<bool> stop_{false};
    std::map<unsigned long, Geometry> saved_;  // fullscreen windows: their earlier geometry
    std::thread thread_;
};

// A PNG file as 0xAARRGGBB pixels; false if it cannot be read.
bool readPng(const std::string& path, int& width, int& height, std::vector<uint32_t>& pixels);

}  // namespace wintest
