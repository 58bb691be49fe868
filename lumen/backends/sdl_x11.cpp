// The X11 side of the SDL window (contract: backends/sdl_x11.h).
//
// The probe speaks the first words of the X protocol itself (a connection setup, no
// authorisation), so that a display that takes connections but never answers (its server
// stopped, a dead forwarding) is found in bounded time; the X library would wait for ever.
// The watch uses the X library that SDL loaded (libX11.so.6, looked up, never loaded here): with
// libX11 1.7 or later an I/O error's exit handler may return, after which every call on that
// connection returns at once, so SDL, and the run, go on to an orderly end.
#include "backends/sdl_x11.h"

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

namespace lumen::x11 {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, at least 0.
int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A connected, non-blocking socket to the local display `number`: the abstract name first (as
// the X library tries it), then the file; -1 when nothing listens, -2 when it does not accept.
int connectLocal(const std::string& number) {
    const std::string path = "/tmp/.X11-unix/X" + number;
    int result = -1;
    for (const bool abstract : {true, false}) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::size_t at = abstract ? 1 : 0;
        if (path.size() + at >= sizeof address.sun_path) return -1;
        std::memcpy(address.sun_path + at, path.data(), path.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + at + path.size() + (abstract ? 0 : 1));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return -1;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return fd;
        if (errno == EAGAIN) result = -2;  // listening, its queue full: not answering
        ::close(fd);
    }
    return result;
}

// A connected, non-blocking socket to display `number` of `host` over TCP (port 6000 + N),
// waiting at most until `deadline`; -1 when nothing listens, -2 when no connection came in time.
int connectRemote(const std::string& host, int number, Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(6000 + number).c_str(), &hints, &found) != 0) return -1;
    int result = -1;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            result = fd;
            break;
        }
        if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int error = 0;
            socklen_t size = sizeof error;
            if (::poll(&p, 1, msLeft(deadline)) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
                error == 0) {
                result = fd;
                break;
            }
            if (msLeft(deadline) == 0) result = -2;
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return result;
}

// ---- the watch ----

using SetIoErrorHandler = XIOErrorHandler (*)(XIOErrorHandler);
using SetIoErrorExitHandler = void (*)(Display*, XIOErrorExitHandler, void*);
using SetErrorHandler = XErrorHandler (*)(XErrorHandler);
using DisplayStringFn = char* (*)(Display*);

SetIoErrorHandler setIoErrorHandler = nullptr;
SetErrorHandler setErrorHandler = nullptr;
XIOErrorHandler earlierIoHandler = nullptr;
XErrorHandler earlierHandler = nullptr;
bool watching = false;
unsigned long watchedWindow = 0;
std::string name;
std::atomic<bool> connectionLost{false};
std::atomic<bool> windowGone{false};
Loss classified = Loss::Nothing;

int onIoError(Display*) {
    connectionLost = true;
    return 0;  // then the exit handler below, which returns too
}

void onIoErrorExit(Display*, void*) { connectionLost = true; }

// A request about the window after another client destroyed it fails with BadWindow or
// BadDrawable; every other X error is left alone (the X library's own handler would exit).
int onError(Display*, XErrorEvent* event) {
    if ((event->error_code == BadWindow || event->error_code == BadDrawable) && event->resourceid == watchedWindow)
        windowGone = true;
    return 0;
}

}  // namespace

Answer probeDisplay(const std::string& display, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::size_t colon = display.rfind(':');
    if (colon == std::string::npos || colon + 1 >= display.size()) return Answer::Unknown;
    const std::string host = display.substr(0, colon);
    std::string number;
    for (std::size_t i = colon + 1; i < display.size() && display[i] != '.'; ++i) {
        if (display[i] < '0' || display[i] > '9') return Answer::Unknown;
        number += display[i];
    }
    if (number.empty() || number.size() > 6 || host.find('/') != std::string::npos ||
        (!host.empty() && host.back() == ':'))
        return Answer::Unknown;
    const int fd = host.empty() || host == "unix" ? connectLocal(number)
                                                  : connectRemote(host, std::stoi(number), deadline);
    if (fd == -1) return Answer::Absent;
    if (fd < 0) return Answer::Silent;
    // A connection setup: byte order 'l' (little-endian), protocol 11.0, no authorisation.
    const unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Answer answer = Answer::Silent;
    if (::send(fd, setup, sizeof setup, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof setup)) {
        pollfd p{fd, POLLIN, 0};
        int ready = 0;
        do {
            ready = ::poll(&p, 1, msLeft(deadline));
        } while (ready < 0 && errno == EINTR);
        unsigned char status = 0xFF;  // a reply begins with 0 (failed), 1 (success) or 2 (more)
        if (ready > 0 && ::recv(fd, &status, 1, 0) == 1 && status <= 2) answer = Answer::Yes;
    }
    ::close(fd);
    return answer;
}

bool watch(void* display, unsigned long window) {
    void* library = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr || display == nullptr) return false;
    setIoErrorHandler = reinterpret_cast<SetIoErrorHandler>(::dlsym(library, "XSetIOErrorHandler"));
    setErrorHandler = reinterpret_cast<SetErrorHandler>(::dlsym(library, "XSetErrorHandler"));
    const auto setExit = reinterpret_cast<SetIoErrorExitHandler>(::dlsym(library, "XSetIOErrorExitHandler"));
    const auto displayString = reinterpret_cast<DisplayStringFn>(::dlsym(library, "XDisplayString"));
    ::dlclose(library);  // SDL keeps it loaded
    if (setIoErrorHandler == nullptr || setErrorHandler == nullptr || setExit == nullptr) return false;
    auto* x = static_cast<Display*>(display);
    const char* shown = displayString != nullptr ? displayString(x) : nullptr;
    name = shown != nullptr ? shown : "";
    watchedWindow = window;
    connectionLost = false;
    windowGone = false;
    classified = Loss::Nothing;
    earlierIoHandler = setIoErrorHandler(onIoError);
    earlierHandler = setErrorHandler(onError);
    setExit(x, onIoErrorExit, nullptr);
    watching = true;
    return true;
}

void noteEvent(const void* xevent) {
    const auto* event = static_cast<const XEvent*>(xevent);
    if (event->type == DestroyNotify && event->xdestroywindow.window == watchedWindow) windowGone = true;
}

Loss loss() {
    if (!watching) return Loss::Nothing;
    if (classified == Loss::Nothing) {
        if (connectionLost) {
            // The server closes the connection of a client that another one kills (xkill,
            // xdotool windowkill) and goes on; one that ended or hangs does not answer.
            classified = probeDisplay(name, 1000) == Answer::Yes ? Loss::Window : Loss::Display;
        } else if (windowGone) {
            classified = Loss::Window;
        }
    }
    return classified;
}

const std::string& displayName() { return name; }

void unwatch() {
    if (!watching) return;
    setIoErrorHandler(earlierIoHandler);
    setErrorHandler(earlierHandler);
    watching = false;
}

}  // namespace lumen::x11
