#include "support/xserver.h"

#include "support/files.h"
#include "support/process.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

// Xlib's internals, for the one X-Resource request: last, since they define min and max.
#include <X11/Xlibint.h>
#include <X11/extensions/XResproto.h>
#undef min
#undef max

namespace wintest {

namespace fs = std::filesystem;

bool haveXvfb() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    dirs += ":/usr/bin";
    std::stringstream s(dirs);
    for (std::string dir; std::getline(s, dir, ':');) {
        if (!dir.empty() && access((dir + "/Xvfb").c_str(), X_OK) == 0) return true;
    }
    return false;
}

bool waitUntil(const std::function<bool()>& done, Seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---- XServer ----------------------------------------------------------------------------------

XServer::XServer(int width, int height) {
    int fds[2];
    if (pipe(fds) != 0) {
        error_ = "pipe failed";
        return;
    }
    // The write end goes to Xvfb (not close-on-exec); the read end stays here.
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    test_support::Command command;
    const std::string screen = std::to_string(width).append("x").append(std::to_string(height)).append("x24");
    command.argv = {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-nolisten", "tcp"};
    pid_ = test_support::spawn(command);
    close(fds[1]);
    // Xvfb writes its display number once it takes connections.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        char buffer[32];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;  // Xvfb ended without a number
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (text.find('\n') == std::string::npos) {
        error_ = "Xvfb did not start";
        return;
    }
    display_ = std::atoi(text.c_str());
}

XServer::~XServer() { stop(); }

void XServer::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int wstatus = 0;
        waitpid(pid_, &wstatus, 0);
        pid_ = -1;
    }
}

std::string XServer::xdotool(const std::string& args) const {
    std::string command = "DISPLAY=";
    command.append(display()).append(" xdotool ").append(args);
    return test_support::shellOutput(command);
}

// ---- Child ------------------------------------------------------------------------------------

Child::Child(const std::string& exe, const std::map<std::string, std::string>& env,
             const std::vector<std::string>& args) {
    dir_ = test_support::tempDir("window-run");
    test_support::Command command;
    command.argv = {exe};
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    command.env = test_support::childEnv(dir_, {{"LUMEN_TRACE", dir_ + "/trace.txt"}});
    for (const auto& [k, v] : env) (*command.env)[k] = v;
    if ((*command.env)["LUMEN_TRACE"].empty()) command.env->erase("LUMEN_TRACE");
    tracePath_ = command.env->count("LUMEN_TRACE") ? command.env->at("LUMEN_TRACE") : dir_ + "/trace.txt";
    command.cwd = dir_;
    command.errPath = dir_ + "/stderr.txt";
    pid_ = test_support::spawn(command);
}

Child::~Child() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        int wstatus = 0;
        waitpid(pid_, &wstatus, 0);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void Child::signal(int sig) const {
    if (pid_ > 0 && !exited_) kill(pid_, sig);
}

int Child::wait(Seconds limit) {
    if (exited_) return status_;
    const auto exit = test_support::waitFor(pid_, std::chrono::duration_cast<std::chrono::milliseconds>(limit));
    exited_ = true;
    status_ = exit.timedOut ? -1 : exit.status;
    return status_;
}

std::vector<std::string> Child::trace() const { return test_support::traceSoFar(tracePath_); }

std::string Child::err() const { return test_support::readFile(dir_ + "/stderr.txt"); }

// ---- Trace helpers ------------------------------------------------------------------------------

int64_t lastFrame(const std::vector<std::string>& trace) {
    for (auto it = trace.rbegin(); it != trace.rend(); ++it) {
        if (it->rfind("Act ", 0) == 0) return std::atoll(it->c_str() + 4);
    }
    return 0;
}

bool stillFor(const std::vector<std::string>& trace, int frames) {
    // Frames from the back: each is the DrawRect lines between two Act lines.
    std::vector<std::vector<std::string>> recent;
    std::vector<std::string> current;
    bool inFrame = false;
    for (auto it = trace.rbegin(); it != trace.rend() && static_cast<int>(recent.size()) < frames; ++it) {
        if (it->rfind("Act ", 0) == 0) {
            if (inFrame) recent.push_back(current);  // the part after the last Act is unfinished
            current.clear();
            inFrame = true;
        } else if (inFrame && it->rfind("DrawRect ", 0) == 0) {
            current.push_back(*it);
        }
    }
    if (static_cast<int>(recent.size()) < frames) return false;
    for (const auto& f : recent) {
        if (f != recent.front()) return false;
    }
    return true;
}

std::vector<std::string> drawRects(const std::vector<std::string>& trace) {
    std::vector<std::string> out;
    for (const auto& l : trace) {
        if (l.rfind("DrawRect ", 0) == 0) out.push_back(l);
    }
    return out;
}

// ---- XView --------------------------------------------------------------------------------------

namespace {
Display* dpy(void* d) { return static_cast<Display*>(d); }
}  // namespace

namespace {
// Xlib's own handler ends the process; a request on a window that just went away only fails.
int ignoreXError(Display*, XErrorEvent*) { return 0; }
}  // namespace

XView::XView(const std::string& display) {
    XSetErrorHandler(ignoreXError);
    display_ = XOpenDisplay(display.c_str());
}

XView::~XView() {
    if (display_) XCloseDisplay(dpy(display_));
}

Geometry XView::geometry(unsigned long window) const {
    Geometry g;
    XWindowAttributes a{};
    if (!XGetWindowAttributes(dpy(display_), window, &a)) return g;
    Window child = 0;
    XTranslateCoordinates(dpy(display_), window, a.root, 0, 0, &g.x, &g.y, &child);
    g.width = a.width;
    g.height = a.height;
    return g;
}

std::vector<uint32_t> XView::pixels(unsigned long window, int width, int height) const {
    std::vector<uint32_t> out;
    XImage* image = XGetImage(dpy(display_), window, 0, 0, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (image == nullptr) return out;
    out.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            // A 24-bit TrueColor visual: the masks say where each channel is.
            const auto channel = [&](unsigned long mask) {
                unsigned long v = p & mask;
                while (mask != 0 && (mask & 1) == 0) {
                    mask >>= 1;
                    v >>= 1;
                }
                return static_cast<uint32_t>(v & 0xFF);
            };
            out[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] =
                channel(image->red_mask) << 16 | channel(image->green_mask) << 8 | channel(image->blue_mask);
        }
    }
    XDestroyImage(image);
    return out;
}

std::vector<uint32_t> XView::icon(unsigned long window) const {
    std::vector<uint32_t> out;
    const Atom netWmIcon = XInternAtom(dpy(display_), "_NET_WM_ICON", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy(display_), window, netWmIcon, 0, LONG_MAX / 4, False, XA_CARDINAL,
                           &type, &format, &count, &after, &data) != Success)
        return out;
    if (data != nullptr && format == 32) {
        // Format 32 comes as longs.
        const auto* values = reinterpret_cast<const unsigned long*>(data);
        for (unsigned long i = 0; i < count; ++i) out.push_back(static_cast<uint32_t>(values[i]));
    }
    if (data) XFree(data);
    return out;
}

void XView::requestClose(unsigned long window) const {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = XInternAtom(dpy(display_), "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy(display_), "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy(display_), window, False, NoEventMask, &e);
    XFlush(dpy(display_));
}

void XView::destroyWindow(unsigned long window) const {
    XDestroyWindow(dpy(display_), window);
    XSync(dpy(display_), False);
}

std::map<std::string, unsigned> XView::clientResources(unsigned long window) const {
    std::map<std::string, unsigned> out;
    Display* d = dpy(display_);
    int opcode = 0;
    int firstEvent = 0;
    int firstError = 0;
    if (!XQueryExtension(d, XRES_NAME, &opcode, &firstEvent, &firstError)) return out;
    // No client library for the extension here: its one request, in Xlib's own way.
    std::vector<xXResType> types;
    {
        Display* dpy = d;  // the name Xlib's request macros use
        LockDisplay(dpy);
        xXResQueryClientResourcesReq* req = nullptr;
        GetReq(XResQueryClientResources, req);
        req->reqType = static_cast<CARD8>(opcode);
        req->XResReqType = X_XResQueryClientResources;
        req->xid = static_cast<CARD32>(window);
        xXResQueryClientResourcesReply reply{};
        if (_XReply(dpy, reinterpret_cast<xReply*>(&reply), 0, xFalse)) {
            types.resize(reply.num_types);
            if (!types.empty())
                _XRead(dpy, reinterpret_cast<char*>(types.data()), static_cast<long>(types.size() * sz_xXResType));
        }
        UnlockDisplay(dpy);
        SyncHandle();
    }
    for (const xXResType& t : types) {
        char* name = XGetAtomName(d, t.resource_type);
        if (name == nullptr) continue;
        out[name] += t.count;
        XFree(name);
    }
    return out;
}

// ---- WindowManager ------------------------------------------------------------------------------

namespace {
Atom atom(Display* d, const char* name) { return XInternAtom(d, name, False); }
}  // namespace

WindowManager::WindowManager(const std::string& display) {
    XSetErrorHandler(ignoreXError);  // a window may go away between its event and the answer
    Display* d = XOpenDisplay(display.c_str());
    if (d == nullptr) return;
    const Window root = DefaultRootWindow(d);
    XSelectInput(d, root, SubstructureRedirectMask | SubstructureNotifyMask);
    // What it supports, and the check window by which clients know that a manager runs.
    const Atom supported[] = {atom(d, "_NET_WM_STATE"), atom(d, "_NET_WM_STATE_FULLSCREEN")};
    XChangeProperty(d, root, atom(d, "_NET_SUPPORTED"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(supported), 2);
    const Window check = XCreateSimpleWindow(d, root, -10, -10, 1, 1, 0, 0, 0);
    for (const Window w : {root, check}) {
        XChangeProperty(d, w, atom(d, "_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&check), 1);
    }
    const char name[] = "window-test-wm";
    XChangeProperty(d, check, atom(d, "_NET_WM_NAME"), atom(d, "UTF8_STRING"), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(name), static_cast<int>(sizeof name - 1));
    XSync(d, False);
    display_ = d;
    thread_ = std::thread([this] { run(); });
}

WindowManager::~WindowManager() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (display_) XCloseDisplay(dpy(display_));
}

void WindowManager::run() {
    Display* d = dpy(display_);
    const Atom netWmState = atom(d, "_NET_WM_STATE");
    const Atom netWmFullscreen = atom(d, "_NET_WM_STATE_FULLSCREEN");
    while (!stop_) {
        while (XPending(d) > 0) {
            XEvent e{};
            XNextEvent(d, &e);
            if (e.type == MapRequest) {
                XMapWindow(d, e.xmaprequest.window);
                XSetInputFocus(d, e.xmaprequest.window, RevertToPointerRoot, CurrentTime);
            } else if (e.type == ConfigureRequest) {
                const XConfigureRequestEvent& r = e.xconfigurerequest;
                XWindowChanges c{};
                c.x = r.x;
                c.y = r.y;
                c.width = r.width;
                c.height = r.height;
                c.border_width = r.border_width;
                c.sibling = r.above;
                c.stack_mode = r.detail;
                XConfigureWindow(d, r.window, static_cast<unsigned>(r.value_mask), &c);
            } else if (e.type == ClientMessage && e.xclient.message_type == netWmState &&
                       (static_cast<Atom>(e.xclient.data.l[1]) == netWmFullscreen ||
                        static_cast<Atom>(e.xclient.data.l[2]) == netWmFullscreen)) {
                fullscreen(e.xclient.window, e.xclient.data.l[0]);
            }
        }
        XFlush(d);
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        ::poll(&p, 1, 20);
    }
}

void WindowManager::fullscreen(unsigned long window, long action) {
    Display* d = dpy(display_);
    const bool is = saved_.count(window) != 0;
    const bool want = action == 2 ? !is : action == 1;
    if (want == is) return;
    const Atom netWmState = atom(d, "_NET_WM_STATE");
    if (want) {
        XWindowAttributes a{};
        if (!XGetWindowAttributes(d, window, &a)) return;
        saved_[window] = Geometry{a.x, a.y, a.width, a.height};
        const int screen = DefaultScreen(d);
        XMoveResizeWindow(d, window, 0, 0, static_cast<unsigned>(DisplayWidth(d, screen)),
                          static_cast<unsigned>(DisplayHeight(d, screen)));
        const Atom state = atom(d, "_NET_WM_STATE_FULLSCREEN");
        XChangeProperty(d, window, netWmState, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&state), 1);
    } else {
        const Geometry g = saved_[window];
        saved_.erase(window);
        XMoveResizeWindow(d, window, g.x, g.y, static_cast<unsigned>(g.width), static_cast<unsigned>(g.height));
        XChangeProperty(d, window, netWmState, XA_ATOM, 32, PropModeReplace, nullptr, 0);
    }
}

// ---- PNG ----------------------------------------------------------------------------------------

bool readPng(const std::string& path, int& width, int& height, std::vector<uint32_t>& pixels) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_BGRA;  // bytes B, G, R, A: 0xAARRGGBB little-endian
    width = static_cast<int>(image.width);
    height = static_cast<int>(image.height);
    pixels.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    return true;
}

}  // namespace wintest
