// The SDL2 window backend: Lumen's window on Linux.
//
// Provides: one resizable window titled from the Init record, with the record's icon (the
// 64 px 32-bpp entry of the .ico image, or its largest one: lumen/pixels/icon.h); the canvas shown
// through a streaming ARGB8888 texture, letterboxed (black bars) into the drawable at the
// largest size that keeps its aspect ratio (lumen/pixels/letterbox.h), with high pixel density allowed
// (the drawable may have more pixels than the window has points); nearest sampling at
// whole-number scales (so 1:1 shows the canvas pixel for pixel) and linear filtering at any
// other scale. The first window size is the canvas size in points, or the largest 16:9 size
// that fits the display's usable area with room for a frame (lumen/pixels/letterbox.h:
// initialWindowSize). The pointer is mapped back to canvas px from the window's points, not
// clamped: in the bars, or outside the window while a button is held, it lies outside the
// canvas. Every button press and release goes through the core's input queue, so each reaches
// the program in a frame of its own. Closing the window, or Escape, ends the run: poll() says so
// and Act raises fault 0 (stop signals are the session's, for every backend). F11 and Alt+Enter
// switch to desktop fullscreen on the window's display and back; the canvas is letterboxed into
// it as into any window size. Keys are the window's, not the program's input: nothing of them is
// queued or recorded.
//
// Renderer: SDL's first choice (GL where there is a GPU), but SDL's software renderer where GL
// itself would be drawn by the processor (Xvfb, no GPU): there that costs a quarter of the CPU.
// SDL_RENDER_DRIVER, if set, is left to SDL. The software renderer draws into the window's
// surface, which goes straight to the window system (SDL_HINT_FRAMEBUFFER_ACCELERATION "0"),
// never through a GL texture of its own.
//
// Limits: no vsync (the session paces at 60 frames a second by sleeping to absolute deadlines;
// presenting never blocks on the display); the window opens on the first display; keys other
// than Escape, F11 and Alt+Enter are not read. Fullscreen is the window manager's to grant: on
// X11 SDL asks it (_NET_WM_STATE_FULLSCREEN) and waits up to 0.1 s for the change, so a frame may
// come late then; an X server without a window manager leaves the window as it is. Only the X11
// (DISPLAY) and Wayland (WAYLAND_DISPLAY) drivers are tried, never SDL's offscreen or console
// ones, unless SDL_VIDEODRIVER names a driver; with none of the three set open() fails at once,
// without loading a driver, and Lumen runs headless.
//
// Floating point: every call into SDL happens inside an entry point's FpGuard (open in Init,
// present and poll in Act, close in Free), so SDL, the X libraries and the GL driver run under
// Lumen's mode, and threads they start (a GL driver's workers) inherit that mode, never the
// program's trapping one. open() also sets Lumen's mode itself (a nested guard) before SDL_Init.
//
// Depends on SDL2 (libsdl2-dev to build; libSDL2-2.0.so.0 to run), opened by open() with the
// system's loader, not linked: a headless run maps none of SDL's libraries (X11, Wayland, audio,
// D-Bus ...). Without the library open() says why on stderr and fails, and Lumen runs headless.
//
// Contract checklist ([x] this backend provides it, [ ] it does not):
//   [x] window open; false without a display (no DISPLAY, WAYLAND_DISPLAY or SDL_VIDEODRIVER)
//   [x] title (UTF-8, from the Init record)
//   [x] icon (the .ico image's 64 px entry, or its largest)
//   [x] present: the canvas letterboxed into the window; only the changed boxes are uploaded, an
//       unchanged frame is not presented again (an expose or a new size redraws it)
//   [x] high pixel density (more drawable px than window points)
//   [x] resize, the canvas following the window (at least 160 x 90 points)
//   [x] pointer in canvas px, not clamped; captured while a button is held
//   [x] button latch: each press and release in a frame of its own (InputQueue)
//   [x] close request ends the run
//   [x] Escape ends the run as a close request does
//   [x] F11 and Alt+Enter: desktop fullscreen on the window's display and back
#include <SDL.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backends/backend.h"
#include "pixels/canvas.h"
#include "run/fpguard.h"
#include "pixels/icon.h"
#include "pixels/letterbox.h"

namespace lumen {

namespace {

// The SDL functions this backend calls, looked up in the library when the first window opens.
// Inside this namespace the pointers hide SDL's declarations of the same names, so the calls
// read as plain SDL calls; SDL's own symbols are named only in unevaluated decltype.
#define LUMEN_SDL_FUNCTIONS(X) \
    X(SDL_CaptureMouse) \
    X(SDL_CreateRGBSurfaceWithFormatFrom) \
    X(SDL_CreateRenderer) \
    X(SDL_CreateTexture) \
    X(SDL_CreateWindow) \
    X(SDL_DestroyRenderer) \
    X(SDL_DestroyTexture) \
    X(SDL_DestroyWindow) \
    X(SDL_FreeSurface) \
    X(SDL_GL_GetProcAddress) \
    X(SDL_GetDisplayUsableBounds) \
    X(SDL_GetRendererInfo) \
    X(SDL_GetRendererOutputSize) \
    X(SDL_GetWindowFlags) \
    X(SDL_GetWindowSize) \
    X(SDL_Init) \
    X(SDL_PollEvent) \
    X(SDL_Quit) \
    X(SDL_RenderClear) \
    X(SDL_RenderCopy) \
    X(SDL_RenderPresent) \
    X(SDL_SetHint) \
    X(SDL_SetRenderDrawColor) \
    X(SDL_SetTextureScaleMode) \
    X(SDL_SetWindowFullscreen) \
    X(SDL_SetWindowIcon) \
    X(SDL_SetWindowMinimumSize) \
    X(SDL_ShowWindow) \
    X(SDL_UpdateTexture)

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

// True if `renderer` is GL whose driver rasterises on the processor (llvmpipe, softpipe, swrast).
bool rasterisesInSoftware(SDL_Renderer* renderer) {
    SDL_RendererInfo info{};
    if (SDL_GetRendererInfo(renderer, &info) != 0 || info.name == nullptr) return false;
    if (std::strncmp(info.name, "opengl", 6) != 0) return false;  // opengl, opengles2
    using GetString = const unsigned char* (*)(unsigned int);
    const auto getString = reinterpret_cast<GetString>(SDL_GL_GetProcAddress("glGetString"));
    if (getString == nullptr) return false;
    const auto* name = reinterpret_cast<const char*>(getString(0x1F01));  // GL_RENDERER
    if (name == nullptr) return false;
    for (const char* soft : {"llvmpipe", "softpipe", "Software Rasterizer", "swrast"}) {
        if (std::strstr(name, soft) != nullptr) return true;
    }
    return false;
}

// The backend's whole state and its functions; one instance (sdlWindow) serves the table.
struct SdlWindow {
    bool sdlUp = false;
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    SDL_ScaleMode scaleMode = SDL_ScaleModeNearest;
    InputQueue input;  // pointer and button events not yet polled
    int shownW = 0, shownH = 0;  // drawable px of the last frame shown; 0 before the first
    bool exposed = false;        // the window asked to be drawn again since then

    bool open(const char* title, WindowIcon icon) {
        const std::string drivers = videoDrivers();
        if (drivers.empty() && !isSet("SDL_VIDEODRIVER")) return false;
        if (std::string error; !loadSdl(error)) {
            std::fprintf(stderr, "Lumen: cannot load SDL for the window: %s\n", error.c_str());
            return false;
        }
        // Called inside Init's guard; the guard here only makes sure of it, since the threads
        // SDL and the GL driver start now take this thread's mode with them.
        FpGuard guard;
        if (!drivers.empty() && !isSet("SDL_VIDEODRIVER")) SDL_SetHint(SDL_HINT_VIDEODRIVER, drivers.c_str());
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");  // the session's own

        SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");  // a window, not a game
        SDL_SetHint(SDL_HINT_RENDER_VSYNC, "0");
        SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
        // The only window surface Lumen makes is the software renderer's: it goes to the window
        // system as it is (shared memory on X11). SDL would otherwise probe GL and upload it
        // through a GL texture, which without a GPU is drawn by the processor a second time.
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
        renderer = SDL_CreateRenderer(window, -1, 0);
        if (renderer != nullptr && !isSet("SDL_RENDER_DRIVER") && rasterisesInSoftware(renderer)) {
            // GL drawn by the processor (a virtual X server, no GPU) costs several times what
            // SDL's own software renderer does for one textured rectangle: use that instead.
            SDL_DestroyRenderer(renderer);
            renderer = nullptr;
        }
        if (renderer == nullptr) renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
        if (renderer != nullptr) {
            texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888,
                                        SDL_TEXTUREACCESS_STREAMING, kCanvasW, kCanvasH);
        }
        if (texture == nullptr) {
            close();
            return false;
        }
        SDL_SetTextureScaleMode(texture, scaleMode);
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
        SDL_ShowWindow(window);
        return true;
    }

    void present(const uint32_t* pixels, int width, int height, const CanvasRegion& changed) {
        if (width != kCanvasW || height != kCanvasH) return;
        int dw = 0;
        int dh = 0;
        SDL_GetRendererOutputSize(renderer, &dw, &dh);
        // A new drawable size (a resize, a fullscreen switch) or an expose shows everything
        // again from the texture, which always holds the whole frame.
        const bool redraw = exposed || dw != shownW || dh != shownH;
        if (changed.empty() && !redraw) return;  // the same frame, still on the screen
        for (int i = 0; i < changed.count; ++i) {
            const CanvasRect& c = changed.boxes[i];
            const SDL_Rect part{c.x0, c.y0, c.x1 - c.x0, c.y1 - c.y0};
            SDL_UpdateTexture(texture, &part, pixels + static_cast<std::size_t>(c.y0) * kCanvasW + c.x0, width * 4);
        }
        const Letterbox box = letterbox(dw, dh);
        // Whole-number scales sample the nearest texel: 1:1 is the canvas itself.
        const bool whole = box.w % kCanvasW == 0 && box.h == box.w / kCanvasW * kCanvasH;
        const SDL_ScaleMode mode = whole ? SDL_ScaleModeNearest : SDL_ScaleModeLinear;
        if (mode != scaleMode) {
            SDL_SetTextureScaleMode(texture, mode);
            scaleMode = mode;
        }
        SDL_RenderClear(renderer);
        if (box.w > 0 && box.h > 0) {
            const SDL_Rect dst{box.x, box.y, box.w, box.h};
            SDL_RenderCopy(renderer, texture, nullptr, &dst);
        }
        SDL_RenderPresent(renderer);
        shownW = dw;
        shownH = dh;
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
                default: break;
            }
        }
        input.take(state);
        return quit;
    }

    void close() {
        if (texture) SDL_DestroyTexture(texture);
        if (renderer) SDL_DestroyRenderer(renderer);
        if (window) SDL_DestroyWindow(window);
        if (sdlUp) SDL_Quit();
        *this = SdlWindow{};
    }

private:
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
    // toggle fullscreen. Every other key is ignored.
    bool noteKey(const SDL_Keysym& key) {
        const bool alt = (key.mod & KMOD_ALT) != 0;
        if (key.sym == SDLK_ESCAPE) return true;
        const bool enter = key.sym == SDLK_RETURN || key.sym == SDLK_KP_ENTER;
        if (key.sym == SDLK_F11 || (alt && enter)) toggleFullscreen();
        return false;
    }

    // Desktop fullscreen on the display the window is on (no mode change), or back to the
    // window as it was. present() letterboxes into whatever size results; a window system that
    // refuses leaves the window as it is.
    void toggleFullscreen() {
        const bool full = (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN) != 0;
        SDL_SetWindowFullscreen(window, full ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP);
    }

    // The pointer moved to window point (x, y); ignored while the window has no size.
    void notePointer(int x, int y) {
        int ww = 0;
        int wh = 0;
        int dw = 0;
        int dh = 0;
        SDL_GetWindowSize(window, &ww, &wh);
        SDL_GetRendererOutputSize(renderer, &dw, &dh);
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

}  // namespace

const Backend& sdlBackend() {
    static const Backend backend{
        "sdl",
        [](const char* title, WindowIcon icon) { return sdlWindow.open(title, icon); },
        [](const uint32_t* pixels, int width, int height, const CanvasRegion& changed) {
            sdlWindow.present(pixels, width, height, changed);
        },
        [](InputState& input) { return sdlWindow.poll(input); },
        [] { sdlWindow.close(); },
        nullptr,  // displayFrame: paced by the Session
    };
    return backend;
}

}  // namespace lumen
