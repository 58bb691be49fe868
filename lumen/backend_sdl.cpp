// The SDL2 window backend: Lumen's window on Linux.
//
// Provides: one resizable window titled from the Init record, with the record's icon (the
// 64 px 32-bpp entry of the .ico image, or its largest one); the 1600 x 900 canvas shown
// through a streaming ARGB8888 texture, letterboxed (black bars) into the drawable at the
// largest size that keeps its aspect ratio, with high pixel density allowed (the drawable may
// have more pixels than the window has points); nearest sampling at whole-number scales (so
// 1:1 shows the canvas pixel for pixel) and linear filtering at any other scale. The first
// window size is 1600 x 900 points, or the largest 16:9 size that fits the display's usable
// area with room for a frame. The pointer is mapped back to canvas px from the window's
// points, not clamped: in the bars, or outside the window while a button is held, it lies
// outside [0, 1600] x [0, 900]. Every button press and release goes through the core's input
// queue, so each reaches the program in a frame of its own. Closing the window ends the run:
// poll() says so and Act raises fault 0 (stop signals are the session's, for every backend).
//
// Renderer: SDL's first choice (GL where there is a GPU), but SDL's software renderer where GL
// itself would be drawn by the processor (Xvfb, no GPU): there that costs a quarter of the CPU.
// SDL_RENDER_DRIVER, if set, is left to SDL.
//
// Limits: no vsync (the session paces at 60 frames a second by sleeping to absolute deadlines;
// presenting never blocks on the display); the window opens on the first display; keys are not
// read. Only the X11 (DISPLAY) and Wayland (WAYLAND_DISPLAY) drivers are tried, never SDL's
// offscreen or console ones, unless SDL_VIDEODRIVER names a driver; with none of the three set
// open() fails at once, without loading a driver, and Lumen runs headless.
//
// Floating point: every call into SDL happens inside an entry point's FpGuard (open in Init,
// present and poll in Act, close in Free), so SDL, the X libraries and the GL driver run under
// Lumen's mode, and threads they start (a GL driver's workers) inherit that mode, never the
// program's trapping one. open() also sets Lumen's mode itself (a nested guard) before SDL_Init.
//
// Depends on SDL2 (libsdl2-dev), linked dynamically; it loads the X11 or Wayland libraries.
#include <SDL.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "backend.h"
#include "core/fpguard.h"

namespace lumen {

namespace sdl {

namespace {
constexpr int kCanvasW = 1600;  // canvas px
constexpr int kCanvasH = 900;   // canvas px
// Room left around the first window for its frame and the desktop's edges, points.
constexpr int kFrameRoomW = 32;
constexpr int kFrameRoomH = 80;

uint32_t readLe(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
}  // namespace

Letterbox letterbox(int drawableW, int drawableH) {
    if (drawableW <= 0 || drawableH <= 0) return {0, 0, 0, 0};
    // Width-limited first; if that is too tall, height-limited. Rounded to the nearest pixel.
    int w = drawableW;
    int h = static_cast<int>((int64_t{drawableW} * kCanvasH + kCanvasW / 2) / kCanvasW);
    if (h > drawableH) {
        h = drawableH;
        w = static_cast<int>((int64_t{drawableH} * kCanvasW + kCanvasH / 2) / kCanvasH);
    }
    return {(drawableW - w) / 2, (drawableH - h) / 2, w, h};
}

void windowToCanvas(double wx, double wy, int windowW, int windowH, int drawableW,
                    int drawableH, double& cx, double& cy) {
    const Letterbox box = letterbox(drawableW, drawableH);
    if (windowW <= 0 || windowH <= 0 || box.w <= 0 || box.h <= 0) {
        cx = 0.0;
        cy = 0.0;
        return;
    }
    // Points to drawable px, then into the canvas rectangle. At 1:1 every step is exact.
    const double px = wx * drawableW / windowW;
    const double py = wy * drawableH / windowH;
    cx = (px - box.x) * kCanvasW / box.w;
    cy = (py - box.y) * kCanvasH / box.h;
}

void initialWindowSize(int usableW, int usableH, int& w, int& h) {
    const int roomW = usableW - kFrameRoomW;
    const int roomH = usableH - kFrameRoomH;
    if (roomW >= kCanvasW && roomH >= kCanvasH) {
        w = kCanvasW;
        h = kCanvasH;
        return;
    }
    // The largest 16:9 size inside the room, at least 160 x 90.
    w = roomW;
    h = static_cast<int>(int64_t{roomW} * kCanvasH / kCanvasW);
    if (h > roomH) {
        h = roomH;
        w = static_cast<int>(int64_t{roomH} * kCanvasW / kCanvasH);
    }
    if (w < 160 || h < 90) {
        w = 160;
        h = 90;
    }
}

bool decodeIcon(const uint8_t* data, std::size_t bytes, int size, IconImage& out) {
    if (data == nullptr || bytes < 6) return false;
    if (readLe(data, 2) != 0 || readLe(data + 2, 2) != 1) return false;  // ICONDIR of an icon
    const uint32_t count = readLe(data + 4, 2);
    if (6 + std::size_t{count} * 16 > bytes) return false;

    // The entries that are whole 32-bpp bitmaps: pick `size` x `size`, else the largest.
    struct Candidate {
        uint32_t width, height, pixelsAt, maskAt;
        bool hasMask;
    };
    Candidate best{};
    bool found = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = data + 6 + std::size_t{i} * 16;
        const uint64_t length = readLe(e + 8, 4);
        const uint64_t offset = readLe(e + 12, 4);
        if (offset + length > bytes || length < 40) continue;
        const uint8_t* image = data + offset;
        if (std::memcmp(image, "\x89PNG", 4) == 0) continue;  // PNG entries are skipped
        const uint32_t headerSize = readLe(image, 4);
        const auto width = static_cast<int32_t>(readLe(image + 4, 4));
        const auto height2 = static_cast<int32_t>(readLe(image + 8, 4));  // XOR + AND rows
        const uint32_t bitCount = readLe(image + 14, 2);
        const uint32_t compression = readLe(image + 16, 4);
        if (headerSize < 40 || bitCount != 32 || compression != 0) continue;
        if (width <= 0 || width > 1024 || height2 <= 0 || height2 % 2 != 0 || height2 / 2 > 1024)
            continue;
        const auto w = static_cast<uint32_t>(width);
        const auto h = static_cast<uint32_t>(height2 / 2);
        const uint64_t pixelBytes = uint64_t{w} * h * 4;
        const uint64_t maskBytes = uint64_t{(w + 31) / 32 * 4} * h;
        if (headerSize + pixelBytes > length) continue;
        const Candidate c{w, h, static_cast<uint32_t>(offset + headerSize),
                          static_cast<uint32_t>(offset + headerSize + pixelBytes),
                          headerSize + pixelBytes + maskBytes <= length};
        const bool exact = static_cast<int>(w) == size && static_cast<int>(h) == size;
        const bool bestExact =
            found && static_cast<int>(best.width) == size && static_cast<int>(best.height) == size;
        if (!found || (exact && !bestExact) ||
            (!bestExact && uint64_t{w} * h > uint64_t{best.width} * best.height)) {
            best = c;
            found = true;
        }
    }
    if (!found) return false;

    out.width = static_cast<int>(best.width);
    out.height = static_cast<int>(best.height);
    out.pixels.assign(std::size_t{best.width} * best.height, 0);
    bool anyAlpha = false;
    for (uint32_t row = 0; row < best.height; ++row) {
        // Bottom-up rows of B, G, R, A bytes: that is 0xAARRGGBB read little-endian.
        const uint8_t* src = data + best.pixelsAt + std::size_t{best.height - 1 - row} * best.width * 4;
        uint32_t* dst = out.pixels.data() + std::size_t{row} * best.width;
        for (uint32_t x = 0; x < best.width; ++x) {
            dst[x] = readLe(src + std::size_t{x} * 4, 4);
            anyAlpha = anyAlpha || (dst[x] >> 24) != 0;
        }
    }
    if (!anyAlpha) {
        // An image without alpha: the AND mask says which pixels are transparent (bit set).
        const uint32_t stride = (best.width + 31) / 32 * 4;
        for (uint32_t row = 0; row < best.height; ++row) {
            const uint8_t* mask = data + best.maskAt + std::size_t{best.height - 1 - row} * stride;
            uint32_t* dst = out.pixels.data() + std::size_t{row} * best.width;
            for (uint32_t x = 0; x < best.width; ++x) {
                const bool clear = best.hasMask && ((mask[x / 8] >> (7 - x % 8)) & 1) != 0;
                if (!clear) dst[x] |= 0xFF000000u;
            }
        }
    }
    return true;
}

}  // namespace sdl

namespace {

constexpr int kCanvasW = 1600;  // canvas px
constexpr int kCanvasH = 900;   // canvas px
constexpr int kIconSize = 64;   // px: the icon entry handed to the window system

struct Window {
    bool sdlUp = false;
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    SDL_ScaleMode scaleMode = SDL_ScaleModeNearest;
    double pointerX = 0.0;  // canvas px
    double pointerY = 0.0;
    bool down[2] = {false, false};  // as the system last said, for capturing the pointer
    InputQueue input;
};

Window win;

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

void setIcon(const IconFile* icon) {
    if (icon == nullptr) return;
    sdl::IconImage image;
    if (!sdl::decodeIcon(icon->data, icon->size, kIconSize, image)) return;  // no icon then
    SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormatFrom(
        image.pixels.data(), image.width, image.height, 32, image.width * 4,
        SDL_PIXELFORMAT_ARGB8888);
    if (surface == nullptr) return;
    SDL_SetWindowIcon(win.window, surface);  // the window system gets its own copy
    SDL_FreeSurface(surface);
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

void closeSdl() {
    if (win.texture) SDL_DestroyTexture(win.texture);
    if (win.renderer) SDL_DestroyRenderer(win.renderer);
    if (win.window) SDL_DestroyWindow(win.window);
    if (win.sdlUp) SDL_Quit();
    win = Window{};
}

bool openSdl(const char* title, const IconFile* icon) {
    const std::string drivers = videoDrivers();
    if (drivers.empty() && !isSet("SDL_VIDEODRIVER")) return false;
    // Called inside Init's guard; the guard here only makes sure of it, since the threads SDL
    // and the GL driver start now take this thread's mode with them.
    FpGuard guard;
    if (!drivers.empty() && !isSet("SDL_VIDEODRIVER")) SDL_SetHint(SDL_HINT_VIDEODRIVER, drivers.c_str());
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");          // the session's own

    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");  // a window, not a game
    SDL_SetHint(SDL_HINT_RENDER_VSYNC, "0");
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) return false;
    win.sdlUp = true;

    SDL_Rect usable{0, 0, kCanvasW + 64, kCanvasH + 128};
    SDL_GetDisplayUsableBounds(0, &usable);
    int w = kCanvasW;
    int h = kCanvasH;
    sdl::initialWindowSize(usable.w, usable.h, w, h);
    win.window = SDL_CreateWindow(title, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, w, h,
                                  SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI | SDL_WINDOW_HIDDEN);
    if (win.window == nullptr) {
        closeSdl();
        return false;
    }
    SDL_SetWindowMinimumSize(win.window, 160, 90);
    setIcon(icon);
    win.renderer = SDL_CreateRenderer(win.window, -1, 0);
    if (win.renderer != nullptr && !isSet("SDL_RENDER_DRIVER") && rasterisesInSoftware(win.renderer)) {
        // GL drawn by the processor (a virtual X server, no GPU) costs several times what
        // SDL's own software renderer does for one textured rectangle: use that instead.
        SDL_DestroyRenderer(win.renderer);
        win.renderer = nullptr;
    }
    if (win.renderer == nullptr) win.renderer = SDL_CreateRenderer(win.window, -1, SDL_RENDERER_SOFTWARE);
    if (win.renderer != nullptr) {
        win.texture = SDL_CreateTexture(win.renderer, SDL_PIXELFORMAT_ARGB8888,
                                        SDL_TEXTUREACCESS_STREAMING, kCanvasW, kCanvasH);
    }
    if (win.texture == nullptr) {
        closeSdl();
        return false;
    }
    SDL_SetTextureScaleMode(win.texture, win.scaleMode);
    SDL_SetRenderDrawColor(win.renderer, 0, 0, 0, 255);
    SDL_ShowWindow(win.window);
    return true;
}

void presentSdl(const uint32_t* pixels, int width, int height) {
    if (width != kCanvasW || height != kCanvasH) return;
    SDL_UpdateTexture(win.texture, nullptr, pixels, width * 4);
    int dw = 0;
    int dh = 0;
    SDL_GetRendererOutputSize(win.renderer, &dw, &dh);
    const sdl::Letterbox box = sdl::letterbox(dw, dh);
    // Whole-number scales sample the nearest texel: 1:1 is the canvas itself.
    const bool whole = box.w % kCanvasW == 0 && box.h == box.w / kCanvasW * kCanvasH;
    const SDL_ScaleMode mode = whole ? SDL_ScaleModeNearest : SDL_ScaleModeLinear;
    if (mode != win.scaleMode) {
        SDL_SetTextureScaleMode(win.texture, mode);
        win.scaleMode = mode;
    }
    SDL_RenderClear(win.renderer);
    if (box.w > 0 && box.h > 0) {
        const SDL_Rect dst{box.x, box.y, box.w, box.h};
        SDL_RenderCopy(win.renderer, win.texture, nullptr, &dst);
    }
    SDL_RenderPresent(win.renderer);
}

void notePointer(int x, int y) {
    int ww = 0;
    int wh = 0;
    int dw = 0;
    int dh = 0;
    SDL_GetWindowSize(win.window, &ww, &wh);
    SDL_GetRendererOutputSize(win.renderer, &dw, &dh);
    if (ww <= 0 || wh <= 0 || dw <= 0 || dh <= 0) return;
    sdl::windowToCanvas(x, y, ww, wh, dw, dh, win.pointerX, win.pointerY);
    win.input.pointer(win.pointerX, win.pointerY);
}

void noteButton(const SDL_MouseButtonEvent& e) {
    const int b = e.button == SDL_BUTTON_LEFT ? 0 : e.button == SDL_BUTTON_RIGHT ? 1 : -1;
    if (b < 0) return;
    notePointer(e.x, e.y);
    win.down[b] = e.state == SDL_PRESSED;
    win.input.button(b, win.down[b], win.pointerX, win.pointerY);
    // Keep the pointer while a button is held, also outside the window.
    SDL_CaptureMouse(win.down[0] || win.down[1] ? SDL_TRUE : SDL_FALSE);
}

bool pollSdl(InputState& input) {
    bool quit = false;
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        switch (e.type) {
            case SDL_QUIT: quit = true; break;
            case SDL_WINDOWEVENT:
                if (e.window.event == SDL_WINDOWEVENT_CLOSE) quit = true;
                break;
            case SDL_MOUSEMOTION: notePointer(e.motion.x, e.motion.y); break;
            case SDL_MOUSEBUTTONDOWN:
            case SDL_MOUSEBUTTONUP: noteButton(e.button); break;
            default: break;
        }
    }
    win.input.take(input);
    return quit;
}

}  // namespace

const Backend& sdlBackend() {
    static const Backend backend{"sdl", openSdl, presentSdl, pollSdl, closeSdl};
    return backend;
}

}  // namespace lumen
