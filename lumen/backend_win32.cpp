// The Win32 window backend.
//
// One top-level window, aware of the display's pixel density (per monitor where the system has
// it), resizable: its client area shows the 1600 x 900 canvas scaled to fit with the aspect
// ratio kept (black bars on the sides or at top and bottom), through StretchDIBits of a
// top-down 32-bit DIB, which is the canvas's own pixel layout. The first size is 1600 x 900
// device-independent pixels, made smaller if the work area cannot hold it. Mouse messages are
// mapped back to canvas px and queued (core/input.h): every press and release the system
// delivers reaches the program in a frame of its own. Closing the window (WM_CLOSE) ends the
// run. Frames are paced by the session with the high-resolution clock and Sleep; the backend
// raises the system timer's resolution to 1 ms while the window is open so that Sleep is that
// precise.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "backend.h"

namespace lumen {

namespace {

constexpr int kCanvasW = 1600;  // canvas px
constexpr int kCanvasH = 900;   // canvas px
constexpr wchar_t kClassName[] = L"LumenCanvasWindow";
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
constexpr DWORD kExStyle = WS_EX_APPWINDOW;

struct Layout {
    int x, y, w, h;  // where the canvas lies in the client area, client px
};

struct Window {
    HWND handle = nullptr;
    HINSTANCE instance = nullptr;
    bool classRegistered = false;
    bool timerRaised = false;
    std::vector<uint32_t> frame;  // the last presented frame, for WM_PAINT
    int frameW = 0, frameH = 0;
    InputQueue input;                       // pointer and button events not yet polled
    double pointerX = 0.0, pointerY = 0.0;  // the last known pointer, canvas px
    bool down[2] = {false, false};          // the buttons as the window last saw them
    bool closeRequested = false;
};

Window win;

Layout layoutFor(int clientW, int clientH) {
    if (clientW <= 0 || clientH <= 0) return {0, 0, 0, 0};
    // The largest kCanvasW:kCanvasH rectangle that fits, centred.
    int w = clientW;
    int h = static_cast<int>((static_cast<long long>(clientW) * kCanvasH + kCanvasW / 2) / kCanvasW);
    if (h > clientH) {
        h = clientH;
        w = static_cast<int>((static_cast<long long>(clientH) * kCanvasW + kCanvasH / 2) / kCanvasH);
    }
    return {(clientW - w) / 2, (clientH - h) / 2, w, h};
}

Layout currentLayout() {
    RECT client{};
    GetClientRect(win.handle, &client);
    return layoutFor(client.right - client.left, client.bottom - client.top);
}

void paint(HDC dc) {
    RECT client{};
    GetClientRect(win.handle, &client);
    const Layout l = layoutFor(client.right, client.bottom);
    HBRUSH black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    const RECT bars[4] = {{0, 0, client.right, l.y},
                          {0, l.y + l.h, client.right, client.bottom},
                          {0, l.y, l.x, l.y + l.h},
                          {l.x + l.w, l.y, client.right, l.y + l.h}};
    for (const RECT& bar : bars) {
        if (bar.right > bar.left && bar.bottom > bar.top) FillRect(dc, &bar, black);
    }
    if (win.frame.empty() || l.w <= 0 || l.h <= 0) return;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = win.frameW;
    info.bmiHeader.biHeight = -win.frameH;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    // Shrinking averages pixels; enlarging or 1:1 copies them.
    if (l.w < win.frameW) {
        SetStretchBltMode(dc, HALFTONE);
        SetBrushOrgEx(dc, 0, 0, nullptr);
    } else {
        SetStretchBltMode(dc, COLORONCOLOR);
    }
    StretchDIBits(dc, l.x, l.y, l.w, l.h, 0, 0, win.frameW, win.frameH, win.frame.data(), &info,
                  DIB_RGB_COLORS, SRCCOPY);
}

// The client point of a mouse message in canvas px; false while the client area is empty.
bool canvasPoint(LPARAM lParam, double& x, double& y) {
    const int px = static_cast<short>(LOWORD(lParam));
    const int py = static_cast<short>(HIWORD(lParam));
    const Layout l = currentLayout();
    if (l.w <= 0 || l.h <= 0) return false;
    x = (px - l.x) * (static_cast<double>(kCanvasW) / l.w);
    y = (py - l.y) * (static_cast<double>(kCanvasH) / l.h);
    return true;
}

void notePointer(LPARAM lParam) {
    if (canvasPoint(lParam, win.pointerX, win.pointerY)) win.input.pointer(win.pointerX, win.pointerY);
}

void button(int b, bool isDown, LPARAM lParam) {
    canvasPoint(lParam, win.pointerX, win.pointerY);
    win.input.button(b, isDown, win.pointerX, win.pointerY);
    win.down[b] = isDown;
    if (isDown) {
        SetCapture(win.handle);
    } else if (!win.down[0] && !win.down[1]) {
        ReleaseCapture();
    }
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE: win.closeRequested = true; return 0;
        case WM_ERASEBKGND: return 1;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            if (win.handle) paint(dc);
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
                    if (win.down[b]) button(b, false, MAKELPARAM(p.x, p.y));
                }
            }
            return 0;
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

std::wstring widen(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 1) return L"";
    std::wstring text(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), n);
    text.resize(static_cast<size_t>(n - 1));
    return text;
}

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
    const Layout fit = layoutFor(std::max(1L, work.right - work.left - extraW), std::max(1L, work.bottom - work.top - extraH));
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

void closeWin32();

bool openWin32(const char* title, const IconFile* icon) {
    if (win.handle) return true;
    becomeDpiAware();
    win.instance = GetModuleHandleW(nullptr);
    HICON hicon = reinterpret_cast<HICON>(const_cast<IconFile*>(icon));
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = win.instance;
    wc.hIcon = hicon;
    wc.hIconSm = hicon;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = kClassName;
    if (!RegisterClassExW(&wc)) return false;
    win.classRegistered = true;
    const RECT r = initialWindowRect();
    const std::wstring text = widen(title != nullptr ? title : "");
    win.handle = CreateWindowExW(kExStyle, kClassName, text.c_str(), kStyle, r.left, r.top, r.right - r.left,
                                 r.bottom - r.top, nullptr, nullptr, win.instance, nullptr);
    if (!win.handle) {
        closeWin32();
        return false;
    }
    if (hicon) {
        SendMessageW(win.handle, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hicon));
        SendMessageW(win.handle, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hicon));
    }
    win.timerRaised = timeBeginPeriod(1) == TIMERR_NOERROR;
    ShowWindow(win.handle, SW_SHOWNORMAL);
    UpdateWindow(win.handle);
    return true;
}

void presentWin32(const uint32_t* pixels, int width, int height) {
    if (!win.handle || !pixels || width <= 0 || height <= 0) return;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    win.frame.resize(count);
    std::memcpy(win.frame.data(), pixels, count * sizeof(uint32_t));
    win.frameW = width;
    win.frameH = height;
    if (HDC dc = GetDC(win.handle)) {
        paint(dc);
        ReleaseDC(win.handle, dc);
    }
}

bool pollWin32(InputState& input) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            win.closeRequested = true;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    win.input.take(input);
    return win.closeRequested;
}

void closeWin32() {
    if (win.handle) {
        DestroyWindow(win.handle);
        win.handle = nullptr;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    if (win.classRegistered) {
        UnregisterClassW(kClassName, win.instance);
        win.classRegistered = false;
    }
    if (win.timerRaised) {
        timeEndPeriod(1);
        win.timerRaised = false;
    }
    win.frame.clear();
    win.frame.shrink_to_fit();
    win.input.clear();
    win.pointerX = win.pointerY = 0.0;
    win.down[0] = win.down[1] = false;
}

}  // namespace

const Backend& win32Backend() {
    static const Backend backend{"win32", openWin32, presentWin32, pollWin32, closeWin32};
    return backend;
}

}  // namespace lumen
