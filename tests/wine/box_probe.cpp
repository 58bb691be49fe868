// Waits (at most the seconds given as the first argument, 30 by default) for a message box
// titled "Stackrise" (a dialog of the system's class #32770) on the desktop, prints on standard
// error one line per text control of the box (its text), then presses its OK button the way a
// user does and waits for the box to go away. Exit status 0 when a box was found and closed, 1
// when none came, 2 when it did not close.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

BOOL CALLBACK printText(HWND child, LPARAM) {
    wchar_t cls[64] = {};
    GetClassNameW(child, cls, 64);
    if (_wcsicmp(cls, L"Static") != 0) return TRUE;
    wchar_t text[4096] = {};
    if (GetWindowTextW(child, text, 4096) > 0) std::fprintf(stderr, "text %s\n", utf8(text).c_str());
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int seconds = argc > 1 ? _wtoi(argv[1]) : 30;
    HWND box = nullptr;
    for (int i = 0; i < seconds * 20 && !box; ++i) {
        box = FindWindowW(L"#32770", L"Stackrise");
        if (!box) Sleep(50);
    }
    if (!box) {
        std::fprintf(stderr, "no box\n");
        return 1;
    }
    std::fprintf(stderr, "box\n");
    EnumChildWindows(box, printText, 0);
    // The box's OK button, pressed as a click would.
    if (HWND ok = GetDlgItem(box, IDOK)) {
        PostMessageW(ok, BM_CLICK, 0, 0);
    } else {
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    for (int i = 0; i < 200 && IsWindow(box); ++i) Sleep(50);
    return IsWindow(box) ? 2 : 0;
}
