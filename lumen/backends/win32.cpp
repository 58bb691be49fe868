// The Win32 window backend: Lumen's window on Windows (features: backends/backend.h).
//
// Provides: a window aware of the display's density per monitor where the system has it, first
// at the canvas size in device-independent pixels (made smaller if the work area cannot hold
// it), at least 320 x 200 px; the canvas scaled by Lumen (pixels/scale.h) into a DIB section of
// the client's size, only where a frame changed, and those rectangles alone copied to the
// window; WM_PAINT copies from the same DIB, scaled anew from the canvas after a resize; a button
// down when another window takes the mouse counts as released; fullscreen as the window without
// its frame over its monitor.
// Limits: no vsync; the system timer's resolution is 1 ms while the window is open, so that the
// Session's Sleep is that precise.
// Depends on user32 and gdi32 (window, painting) and winmm (timer resolution).
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "backends/backend.h"
#include "lumen/win32_text.h"
#include "pixels/canvas.h"
#include "pixels/letterbox.h"
#include "pixels/scale.h"

namespace lumen {

namespace {

constexpr int kCanvasW = Canvas::kWidth;   // canvas px
constexpr int kCanvasH = Canvas::kHeight;  // canvas px
constexpr wchar_t kClassName[] = L"LumenCanvasWindow";
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
constexpr DWORD kExStyle = WS_EX_APPWINDOW;

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

void becomeDpiAware() {
    using SetContextFn = BOOL(WINAPI*)(HANDLE);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    auto setContext = user32 ? reinterpret_cast<SetContextFn>(
                                   reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")))
                             : nullptr;
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2, where the system knows it.
    if (!setContext || !setContext(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-4)))) SetProcessDPIAware();
}

// The window's outer rectangle for a client area showing the canvas at the display's density,
// shrunk to fit the work area, centred in it.
RECT initialWindowRect() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
    const int extraW = frame.right - frame.left;
    const int extraH = frame.bottom - frame.top;
    int clientW = MulDiv(kCanvasW, dpi > 0 ? dpi : 96, 96);
    int clientH = MulDiv(kCanvasH, dpi > 0 ? dpi : 96, 96);
    const Letterbox fit = letterbox(std::max(1L, work.right - work.left - extraW), std::max(1L, work.bottom - work.top - extraH));
    if (clientW > fit.w || clientH > fit.h) {
        clientW = fit.w;
        clientH = fit.h;
    }
    RECT r{0, 0, clientW, clientH};
    AdjustWindowRectEx(&r, kStyle, FALSE, kExStyle);
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    const int x = work.left + std::max(0L, (work.right - work.left - w) / 2);
    const int y = work.top + std::max(0L, (work.bottom - work.top - h) / 2);
    return RECT{x, y, x + w, y + h};
}

// The backend's whole state and its functions; one instance (win32Window) serves the table
// and the window procedure.
struct Win32Window {
    HWND handle = nullptr;
    HINSTANCE instance = nullptr;
    bool classRegistered = false;
    bool timerRaised = false;
    const uint32_t* canvas = nullptr;  // the canvas's pixels as last presented (Lumen keeps them)
    HDC surfaceDc = nullptr;           // holds `surface`: the client's px, scaled from the canvas
    HBITMAP surface = nullptr;
    HGDIOBJ surfaceWas = nullptr;  // the memory DC's first bitmap, put back before deleting
    WindowPixels surfacePx;
    InputQueue input;  // pointer and button events not yet polled
    bool closeRequested = false;
    bool closing = false;  // close() is destroying the window
    bool fullscreen = false;
    WINDOWPLACEMENT windowed{};  // where the framed window was before fullscreen

    bool open(const char* title, WindowIcon icon) {
        if (handle) return true;
        becomeDpiAware();
        instance = GetModuleHandleW(nullptr);
        HICON hicon = icon.handle;
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = windowProc;
        wc.hInstance = instance;
        wc.hIcon = hicon;
        wc.hIconSm = hicon;
        wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        wc.lpszClassName = kClassName;
        if (!RegisterClassExW(&wc)) return false;
        classRegistered = true;
        const RECT r = initialWindowRect();
        const std::wstring text = win32::wideOf(title != nullptr ? title : "");
        handle = CreateWindowExW(kExStyle, kClassName, text.c_str(), kStyle, r.left, r.top, r.right - r.left,
                                 r.bottom - r.top, nullptr, nullptr, instance, nullptr);
        if (!handle) {
            close();
            return false;
        }
        if (hicon) {
            SendMessageW(handle, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hicon));
            SendMessageW(handle, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hicon));
        }
        timerRaised = timeBeginPeriod(1) == TIMERR_NOERROR;
        ShowWindow(handle, SW_SHOWNORMAL);
        UpdateWindow(handle);
        return true;
    }

    void present(const uint32_t* pixels, int width, int height, const CanvasRegion& changed) {
        if (!handle || !pixels || width != kCanvasW || height != kCanvasH) return;
        const bool first = canvas == nullptr;
        canvas = pixels;
        RECT client{};
        GetClientRect(handle, &client);
        if (first || surfacePx.width != client.right || surfacePx.height != client.bottom) {
            // A new size: WM_PAINT (the window was invalidated by it) or this frame redraws all.
            redrawWhole();
            return;
        }
        // An unchanged frame is not painted again; WM_PAINT repaints from the surface.
        if (changed.empty()) return;
        const Letterbox box = letterbox(surfacePx.width, surfacePx.height);
        HDC dc = GetDC(handle);
        for (int i = 0; i < changed.count; ++i) {
            const WindowRect part = windowRectOf(changed.boxes[i], box);
            if (part.empty()) continue;
            scaleCanvas(canvas, box, part, surfacePx);
            if (dc) BitBlt(dc, part.x0, part.y0, part.x1 - part.x0, part.y1 - part.y0, surfaceDc, part.x0, part.y0, SRCCOPY);
        }
        if (dc) ReleaseDC(handle, dc);
    }

    bool poll(InputState& state) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                closeRequested = true;
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        input.take(state);
        return closeRequested;
    }

    void close() {
        if (handle) {
            closing = true;
            DestroyWindow(handle);
            closing = false;
            handle = nullptr;
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        }
        if (classRegistered) {
            UnregisterClassW(kClassName, instance);
            classRegistered = false;
        }
        if (timerRaised) {
            timeEndPeriod(1);
            timerRaised = false;
        }
        dropSurface();
        canvas = nullptr;
        input.clear();
        fullscreen = false;
    }

    // The window's messages (windowProc forwards them here).
    LRESULT handleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_CLOSE: closeRequested = true; return 0;
            case WM_DESTROY:
                // Destroyed by anything but close(): the run ends as with a closed window, and
                // nothing is drawn into it any more.
                if (handle && !closing) {
                    handle = nullptr;
                    closeRequested = true;
                }
                return 0;
            case WM_ERASEBKGND: return 1;
            case WM_PAINT: {
                PAINTSTRUCT ps;
                HDC dc = BeginPaint(hwnd, &ps);
                if (handle) paint(dc, ps.rcPaint);
                EndPaint(hwnd, &ps);
                return 0;
            }
            case WM_SIZE: InvalidateRect(hwnd, nullptr, FALSE); return 0;
            case WM_DPICHANGED: {
                const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
                SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                             suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
                return 0;
            }
            case WM_GETMINMAXINFO: {
                auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
                info->ptMinTrackSize.x = 320;
                info->ptMinTrackSize.y = 200;
                return 0;
            }
            case WM_KEYDOWN:
            case WM_SYSKEYDOWN:
                if (noteKey(wParam, lParam)) return 0;
                return DefWindowProcW(hwnd, message, wParam, lParam);
            case WM_SYSCHAR:
                // Alt+Enter is ours: no menu beep for it. Other Alt keys (Alt+F4, Alt+Space) as usual.
                if (wParam == VK_RETURN) return 0;
                return DefWindowProcW(hwnd, message, wParam, lParam);
            case WM_MOUSEMOVE: notePointer(lParam); return 0;
            case WM_LBUTTONDOWN: button(0, true, lParam); return 0;
            case WM_LBUTTONUP: button(0, false, lParam); return 0;
            case WM_RBUTTONDOWN: button(1, true, lParam); return 0;
            case WM_RBUTTONUP: button(1, false, lParam); return 0;
            case WM_CAPTURECHANGED:
                // Another window took the mouse: the buttons that are down count as released.
                if (reinterpret_cast<HWND>(lParam) != hwnd) {
                    DWORD at = GetMessagePos();
                    POINT p{static_cast<short>(LOWORD(at)), static_cast<short>(HIWORD(at))};
                    ScreenToClient(hwnd, &p);
                    for (int b = 0; b < 2; ++b) {
                        if (input.held(b)) button(b, false, MAKELPARAM(p.x, p.y));
                    }
                }
                return 0;
            default: return DefWindowProcW(hwnd, message, wParam, lParam);
        }
    }

private:
    // A key went down: Escape asks to end the run, F11 and Alt+Enter toggle fullscreen, F12 asks
    // for a picture; true if
    // the key was one of them. Auto-repeats of a held key are taken but do nothing.
    bool noteKey(WPARAM key, LPARAM lParam) {
        const bool repeat = (lParam & (LPARAM{1} << 30)) != 0;  // the key was already down
        const bool alt = (lParam & (LPARAM{1} << 29)) != 0;     // Alt is held
        if (key == VK_ESCAPE && !alt) {
            closeRequested = true;
            return true;
        }
        if (key == VK_F11 || (key == VK_RETURN && alt)) {
            if (!repeat) toggleFullscreen();
            return true;
        }
        if (key == VK_F12) {
            if (!repeat) input.askPicture();
            return true;
        }
        return false;
    }

public:
    // Fullscreen: the frame taken off and the window covering its monitor; back: the frame and
    // the place (size, position, maximised or not) it had before.
    void toggleFullscreen() {
        const LONG_PTR style = GetWindowLongPtrW(handle, GWL_STYLE);
        if (!fullscreen) {
            MONITORINFO monitor{};
            monitor.cbSize = sizeof monitor;
            windowed.length = sizeof windowed;
            if (!GetWindowPlacement(handle, &windowed) ||
                !GetMonitorInfoW(MonitorFromWindow(handle, MONITOR_DEFAULTTONEAREST), &monitor))
                return;
            const RECT& r = monitor.rcMonitor;
            SetWindowLongPtrW(handle, GWL_STYLE, style & ~static_cast<LONG_PTR>(kStyle));
            SetWindowPos(handle, HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top,
                         SWP_NOOWNERZORDER | SWP_FRAMECHANGED);
            fullscreen = true;
        } else {
            SetWindowLongPtrW(handle, GWL_STYLE, style | static_cast<LONG_PTR>(kStyle));
            SetWindowPlacement(handle, &windowed);
            SetWindowPos(handle, nullptr, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOOWNERZORDER | SWP_FRAMECHANGED);
            fullscreen = false;
        }
        InvalidateRect(handle, nullptr, FALSE);
    }

    // Copies `area` of the surface to the window, the surface first made again at the client's
    // size if that changed (during a resize the canvas is scaled anew for every paint).
    void paint(HDC dc, const RECT& area) {
        RECT client{};
        GetClientRect(handle, &client);
        if (canvas == nullptr) {
            FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
            return;
        }
        if (surfacePx.width != client.right || surfacePx.height != client.bottom) {
            if (!makeSurface(client.right, client.bottom)) return;
            drawWholeWindow(canvas, letterbox(surfacePx.width, surfacePx.height), surfacePx);
        }
        BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, surfaceDc, area.left, area.top,
               SRCCOPY);
    }

    // The whole client area scaled from the canvas and shown.
    void redrawWhole() {
        RECT client{};
        GetClientRect(handle, &client);
        if (!makeSurface(client.right, client.bottom)) return;
        drawWholeWindow(canvas, letterbox(surfacePx.width, surfacePx.height), surfacePx);
        if (HDC dc = GetDC(handle)) {
            BitBlt(dc, 0, 0, surfacePx.width, surfacePx.height, surfaceDc, 0, 0, SRCCOPY);
            ReleaseDC(handle, dc);
        }
    }

    // A top-down 32-bit DIB section of w x h px (the canvas's own pixel layout) in a memory DC;
    // false (and none) when the client area is empty or GDI refuses.
    bool makeSurface(int w, int h) {
        dropSurface();
        if (w <= 0 || h <= 0) return false;
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = w;
        info.bmiHeader.biHeight = -h;  // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        surfaceDc = CreateCompatibleDC(nullptr);
        surface = surfaceDc ? CreateDIBSection(surfaceDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
        if (surface == nullptr || bits == nullptr) {
            dropSurface();
            return false;
        }
        surfaceWas = SelectObject(surfaceDc, surface);
        surfacePx = WindowPixels{static_cast<uint32_t*>(bits), w, h, w};
        return true;
    }

    void dropSurface() {
        if (surfaceDc && surfaceWas) SelectObject(surfaceDc, surfaceWas);
        if (surface) DeleteObject(surface);
        if (surfaceDc) DeleteDC(surfaceDc);
        surfaceDc = nullptr;
        surface = nullptr;
        surfaceWas = nullptr;
        surfacePx = WindowPixels{};
    }

    // The pointer at the client point of a mouse message, if the client area is not empty:
    // client px are both the window's points and its drawable px.
    void notePointer(LPARAM lParam) {
        const int px = static_cast<short>(LOWORD(lParam));
        const int py = static_cast<short>(HIWORD(lParam));
        RECT client{};
        GetClientRect(handle, &client);
        const int w = client.right - client.left;
        const int h = client.bottom - client.top;
        if (w <= 0 || h <= 0) return;
        double cx = 0.0;
        double cy = 0.0;
        windowToCanvas(px, py, w, h, w, h, cx, cy);
        input.pointer(cx, cy);
    }

    void button(int b, bool isDown, LPARAM lParam) {
        notePointer(lParam);
        input.button(b, isDown);
        if (isDown) {
            SetCapture(handle);
        } else if (!input.anyHeld()) {
            ReleaseCapture();
        }
    }
};

Win32Window win32Window;

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return win32Window.handleMessage(hwnd, message, wParam, lParam);
}

constexpr Backend kBackend = [] {
    Backend backend = backendOf<win32Window>("win32");
    backend.fullscreen = [] { win32Window.toggleFullscreen(); };
    return backend;
}();

}  // namespace

const Backend& win32Backend() { return kBackend; }

}  // namespace lumen
