// The SDL2 window backend: Lumen's window on Linux (features: backends/backend.h).
//
// Provides: a window of at least 160 x 90 points on the first display; the canvas scaled by
// Lumen (pixels/scale.h) into the window surface, only where a frame changed, and sent to the
// window system as those rectangles; fullscreen as SDL's desktop fullscreen.
// Limits: no vsync; no GPU path: the processor scales, a few changed boxes a frame. Fullscreen is the window manager's to grant (toggleFullscreen). Only the
// X11 (DISPLAY) and Wayland (WAYLAND_DISPLAY) drivers are tried, never SDL's offscreen or
// console ones, unless SDL_VIDEODRIVER names a driver; with none of the three set open() fails
// at once, without loading a driver. An X display that takes the connection but does not answer
// within kAnswerMs is not tried (the X library would wait for ever).
// The display going away: on X11 the window and its connection are watched (sdl_x11.h). A
// window destroyed or killed by another client ends the run as closing it does; a display that
// went away ends it with lost() set (fault kDisplayLost); the X library prints nothing.
// Depends on SDL2 (libsdl2-dev to build; libSDL2-2.0.so.0 to run), opened by open() with the
// system's loader, not linked: a headless run maps none of SDL's libraries (X11, Wayland, audio,
// D-Bus ...), and a window run maps no GL library. Without the library open() says why on
// stderr and fails. SDL, the X libraries and the threads they start run under Lumen's
// floating-point mode.
#include <SDL.h>
#include <SDL_syswm.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backends/backend.h"
#include "backends/sdl_x11.h"
#include "pixels/canvas.h"
#include "run/fpguard.h"
#include "pixels/icon.h"
#include "pixels/letterbox.h"
#include "pixels/scale.h"

namespace lumen {

namespace {

// The SDL functions this backend calls, looked up in the library when the first window opens.
// Inside this namespace the pointers hide SDL's declarations of the same names, so the calls
// read as plain SDL calls; SDL's own symbols are named only in unevaluated decltype.
#define LUMEN_SDL_FUNCTIONS(X) \
    X(SDL_CaptureMouse) \
    X(SDL_ConvertPixels) \
    X(SDL_CreateRGBSurfaceWithFormatFrom) \
    X(SDL_CreateWindow) \
    X(SDL_DestroyWindow) \
    X(SDL_EventState) \
    X(SDL_FreeSurface) \
    X(SDL_GetDisplayUsableBounds) \
    X(SDL_GetWindowFlags) \
    X(SDL_GetWindowSize) \
    X(SDL_GetWindowSurface) \
    X(SDL_GetWindowWMInfo) \
    X(SDL_Init) \
    X(SDL_LockSurface) \
    X(SDL_PollEvent) \
    X(SDL_Quit) \
    X(SDL_SetHint) \
    X(SDL_SetWindowFullscreen) \
    X(SDL_SetWindowIcon) \
    X(SDL_SetWindowMinimumSize) \
    X(SDL_ShowWindow) \
    X(SDL_UnlockSurface) \
    X(SDL_UpdateWindowSurfaceRects)

#define LUMEN_SDL_POINTER(name) decltype(&::name) name = nullptr;
LUMEN_SDL_FUNCTIONS(LUMEN_SDL_POINTER)
#undef LUMEN_SDL_POINTER

constexpr const char* kSdlLibrary = "libSDL2-2.0.so.0";

// Opens SDL and finds every function above, once; false with the reason if it cannot.
bool loadSdl(std::string& error) {
    static void* library = nullptr;
    if (library != nullptr) return true;
    void* opened = dlopen(kSdlLibrary, RTLD_NOW | RTLD_LOCAL);
    if (opened == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "cannot be opened";
        return false;
    }
#define LUMEN_SDL_LOOKUP(name)                                                        \
    name = reinterpret_cast<decltype(name)>(dlsym(opened, #name));                    \
    if (name == nullptr) {                                                            \
        error = std::string(kSdlLibrary).append(" has no ").append(#name);            \
        dlclose(opened);                                                              \
        return false;                                                                 \
    }
    LUMEN_SDL_FUNCTIONS(LUMEN_SDL_LOOKUP)
#undef LUMEN_SDL_LOOKUP
    library = opened;  // kept open for the process: SDL's threads and exit handlers need it
    return true;
}

constexpr int kCanvasW = Canvas::kWidth;   // canvas px
constexpr int kCanvasH = Canvas::kHeight;  // canvas px
constexpr int kIconSize = 64;              // px: the icon entry handed to the window system
constexpr int kAnswerMs = 5000;            // ms an X display has to answer before it is given up

bool isSet(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
}

// The video drivers worth trying: X11 where DISPLAY is set, Wayland where WAYLAND_DISPLAY is.
// SDL on its own would go on to its offscreen driver, which shows nothing. "" when there is no
// display; SDL_VIDEODRIVER, if set, is left to SDL.
std::string videoDrivers() {
    std::string list;
    if (isSet("DISPLAY")) list = "x11";
    if (isSet("WAYLAND_DISPLAY")) list += list.empty() ? "wayland" : ",wayland";
    return list;
}

// The backend's whole state and its functions; one instance (sdlWindow) serves the table.
struct SdlWindow {
    bool sdlUp = false;
    SDL_Window* window = nullptr;
    InputQueue input;  // pointer and button events not yet polled
    SDL_Surface* shownOn = nullptr;  // the window surface of the last frame shown
    int shownW = 0, shownH = 0;      // its size, window px; 0 before the first frame
    bool exposed = false;            // the window asked to be drawn again since then
    std::vector<uint32_t> scratch;   // window px, for a surface whose pixels are not the canvas's

    bool open(const char* title, WindowIcon icon) {
        std::string drivers = videoDrivers();
        const char* chosen = std::getenv("SDL_VIDEODRIVER");
        const bool mayTryX11 = chosen == nullptr || *chosen == '\0' || std::strcmp(chosen, "x11") == 0;
        if (mayTryX11 && drivers.rfind("x11", 0) == 0 &&
            x11::probeDisplay(std::getenv("DISPLAY"), kAnswerMs) == x11::Answer::Silent) {
            std::fprintf(stderr, "Lumen: the display %s does not answer (waited %d s)\n", std::getenv("DISPLAY"),
                         kAnswerMs / 1000);
            drivers = drivers.size() > 4 ? drivers.substr(4) : "";  // "x11,wayland": Wayland is left
            if (drivers.empty() || isSet("SDL_VIDEODRIVER")) return false;
        }
        if (drivers.empty() && !isSet("SDL_VIDEODRIVER")) return false;
        if (std::string error; !loadSdl(error)) {
            std::fprintf(stderr, "Lumen: cannot load SDL for the window: %s\n", error.c_str());
            return false;
        }
        // Called inside Init's guard; the guard here only makes sure of it, since the threads
        // SDL starts now take this thread's mode with them.
        FpGuard guard;
        if (!drivers.empty() && !isSet("SDL_VIDEODRIVER")) SDL_SetHint(SDL_HINT_VIDEODRIVER, drivers.c_str());
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");  // the session's own
        // The window's class (X11's WM_CLASS, Wayland's app id) is the desktop entry's id, so
        // that docks tie the window to its launcher; one set in the environment wins. SDL 2.26
        // reads these two from the environment only, not as hints.
        setenv("SDL_VIDEO_X11_WMCLASS", LUMEN_WINDOW_CLASS, 0);
        setenv("SDL_VIDEO_WAYLAND_WMCLASS", LUMEN_WINDOW_CLASS, 0);

        SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");  // a window, not a game
        SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
        // Lumen scales into the window surface itself, which goes to the window system as it
        // is (shared memory on X11): no renderer and no GL library, which SDL would otherwise
        // probe and, without a GPU, run on the processor a second time.
        SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
        if (SDL_Init(SDL_INIT_VIDEO) != 0) return false;
        sdlUp = true;

        SDL_Rect usable{0, 0, kCanvasW + 64, kCanvasH + 128};
        SDL_GetDisplayUsableBounds(0, &usable);
        int w = kCanvasW;
        int h = kCanvasH;
        initialWindowSize(usable.w, usable.h, w, h);
        window = SDL_CreateWindow(title, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, w, h,
                                  SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI | SDL_WINDOW_HIDDEN);
        if (window == nullptr) {
            close();
            return false;
        }
        SDL_SetWindowMinimumSize(window, 160, 90);
        setIcon(icon);
        if (SDL_GetWindowSurface(window) == nullptr) {
            close();
            return false;
        }
        watchX11();
        SDL_ShowWindow(window);
        return true;
    }

    void present(const uint32_t* pixels, int width, int height, const CanvasRegion& changed) {
        if (width != kCanvasW || height != kCanvasH) return;
        SDL_Surface* surface = SDL_GetWindowSurface(window);  // made again after a resize
        if (surface == nullptr || surface->w <= 0 || surface->h <= 0) return;
        // A new surface (a resize, a fullscreen switch) or an expose shows everything again.
        const bool redraw = exposed || surface != shownOn || surface->w != shownW || surface->h != shownH;
        if (changed.empty() && !redraw) return;  // the same frame, still on the screen
        const bool direct = surface->format->BytesPerPixel == 4 && surface->format->Rmask == 0xFF0000u &&
                            surface->format->Gmask == 0x00FF00u && surface->format->Bmask == 0x0000FFu;
        if (SDL_MUSTLOCK(surface) && SDL_LockSurface(surface) != 0) return;
        WindowPixels to{static_cast<uint32_t*>(surface->pixels), surface->w, surface->h, surface->pitch / 4};
        if (!direct) {
            scratch.resize(static_cast<std::size_t>(surface->w) * static_cast<std::size_t>(surface->h));
            to = WindowPixels{scratch.data(), surface->w, surface->h, surface->w};
        }
        const Letterbox box = letterbox(surface->w, surface->h);
        SDL_Rect rects[CanvasRegion::kMaxBoxes];
        int count = 0;
        if (redraw) {
            drawWholeWindow(pixels, box, to);
            rects[count++] = SDL_Rect{0, 0, surface->w, surface->h};
        } else {
            for (int i = 0; i < changed.count; ++i) {
                const WindowRect part = windowRectOf(changed.boxes[i], box);
                if (part.empty()) continue;
                scaleCanvas(pixels, box, part, to);
                rects[count++] = SDL_Rect{part.x0, part.y0, part.x1 - part.x0, part.y1 - part.y0};
            }
        }
        if (!direct) {
            for (int i = 0; i < count; ++i) {
                const SDL_Rect& r = rects[i];
                const uint32_t* from = scratch.data() + static_cast<std::size_t>(r.y) * surface->w + r.x;
                auto* into = static_cast<uint8_t*>(surface->pixels) + static_cast<std::size_t>(r.y) * surface->pitch +
                             static_cast<std::size_t>(r.x) * surface->format->BytesPerPixel;
                SDL_ConvertPixels(r.w, r.h, SDL_PIXELFORMAT_ARGB8888, from, surface->w * 4, surface->format->format,
                                  into, surface->pitch);
            }
        }
        if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
        if (count > 0) SDL_UpdateWindowSurfaceRects(window, rects, count);
        shownOn = surface;
        shownW = surface->w;
        shownH = surface->h;
        exposed = false;
    }

    bool poll(InputState& state) {
        bool quit = false;
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
            switch (e.type) {
                case SDL_QUIT: quit = true; break;
                case SDL_WINDOWEVENT:
                    if (e.window.event == SDL_WINDOWEVENT_CLOSE) quit = true;
                    if (e.window.event == SDL_WINDOWEVENT_EXPOSED) exposed = true;
                    break;
                case SDL_KEYDOWN:
                    if (e.key.repeat == 0) quit = noteKey(e.key.keysym) || quit;
                    break;
                case SDL_MOUSEMOTION: notePointer(e.motion.x, e.motion.y); break;
                case SDL_MOUSEBUTTONDOWN:
                case SDL_MOUSEBUTTONUP: noteButton(e.button); break;
                case SDL_SYSWMEVENT:
                    if (e.syswm.msg != nullptr && e.syswm.msg->subsystem == SDL_SYSWM_X11)
                        x11::noteEvent(&e.syswm.msg->msg.x11.event);
                    break;
                default: break;
            }
        }
        input.take(state);
        if (x11Watched && x11::loss() != x11::Loss::Nothing) quit = true;
        return quit;
    }

    // After a poll() that ended the run: why, when the display went away; else null.
    const char* lost() {
        if (!x11Watched || x11::loss() != x11::Loss::Display) return nullptr;
        lostMessage = "Lumen: lost the display " + x11::displayName() + ": the X server went away";
        return lostMessage.c_str();
    }

    void close() {
        // A window that is gone, or a connection that is, cannot be closed: SDL would wait for
        // ever for the X server to confirm it. Both are left as they are to the process's end.
        const bool gone = x11Watched && x11::loss() != x11::Loss::Nothing;
        if (!gone) {
            if (window) SDL_DestroyWindow(window);
            if (sdlUp) SDL_Quit();
            if (x11Watched) x11::unwatch();
        }
        *this = SdlWindow{};
    }

private:
    bool x11Watched = false;  // the window is on X11 and watched (sdl_x11.h)
    std::string lostMessage;

    // On X11: the display's loss and the window's destruction are watched, and SDL passes on
    // the X events, among them the window's DestroyNotify.
    void watchX11() {
        SDL_SysWMinfo info;
        SDL_VERSION(&info.version);
        if (SDL_GetWindowWMInfo(window, &info) != SDL_TRUE || info.subsystem != SDL_SYSWM_X11) return;
        x11Watched = x11::watch(info.info.x11.display, info.info.x11.window);
        if (x11Watched) SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);
    }

    void setIcon(WindowIcon icon) {
        if (icon.file == nullptr) return;
        IconImage image;
        if (!decodeIcon(icon.file->data, icon.file->size, kIconSize, image)) return;  // no icon then
        SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormatFrom(
            image.pixels.data(), image.width, image.height, 32, image.width * 4,
            SDL_PIXELFORMAT_ARGB8888);
        if (surface == nullptr) return;
        SDL_SetWindowIcon(window, surface);  // the window system gets its own copy
        SDL_FreeSurface(surface);
    }

    // A key went down (not a repeat): Escape asks to end the run (true); F11 and Alt+Enter
    // toggle fullscreen; F12 asks for a picture. Every other key is ignored.
    bool noteKey(const SDL_Keysym& key) {
        const bool alt = (key.mod & KMOD_ALT) != 0;
        if (key.sym == SDLK_ESCAPE) return true;
        const bool enter = key.sym == SDLK_RETURN || key.sym == SDLK_KP_ENTER;
        if (key.sym == SDLK_F11 || (alt && enter)) toggleFullscreen();
        if (key.sym == SDLK_F12) input.askPicture();
        return false;
    }

public:
    // Desktop fullscreen on the display the window is on (no mode change), or back to the
    // window as it was. present() letterboxes into whatever size results. On X11 SDL asks the
    // window manager (_NET_WM_STATE_FULLSCREEN) and waits up to 0.1 s for the change, so a frame
    // may come late then; a window system that refuses, or an X server without a window
    // manager, leaves the window as it is.
    void toggleFullscreen() {
        const bool full = (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN) != 0;
        SDL_SetWindowFullscreen(window, full ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP);
    }

private:

    // The pointer moved to window point (x, y); ignored while the window has no size.
    void notePointer(int x, int y) {
        int ww = 0;
        int wh = 0;
        int dw = 0;
        int dh = 0;
        SDL_GetWindowSize(window, &ww, &wh);
        if (SDL_Surface* surface = SDL_GetWindowSurface(window)) {
            dw = surface->w;
            dh = surface->h;
        }
        if (ww <= 0 || wh <= 0 || dw <= 0 || dh <= 0) return;
        double cx = 0.0;
        double cy = 0.0;
        windowToCanvas(x, y, ww, wh, dw, dh, cx, cy);
        input.pointer(cx, cy);
    }

    void noteButton(const SDL_MouseButtonEvent& e) {
        const int b = e.button == SDL_BUTTON_LEFT ? 0 : e.button == SDL_BUTTON_RIGHT ? 1 : -1;
        if (b < 0) return;
        notePointer(e.x, e.y);
        input.button(b, e.state == SDL_PRESSED);
        // Keep the pointer while a button is held, also outside the window.
        SDL_CaptureMouse(input.anyHeld() ? SDL_TRUE : SDL_FALSE);
    }
};

SdlWindow sdlWindow;

constexpr Backend kBackend = [] {
    Backend backend = backendOf<sdlWindow>("sdl", nullptr, [] { return sdlWindow.lost(); });
    backend.fullscreen = [] { sdlWindow.toggleFullscreen(); };
    return backend;
}();

}  // namespace

const Backend& sdlBackend() { return kBackend; }

}  // namespace lumen
