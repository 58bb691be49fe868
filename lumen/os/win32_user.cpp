// Lumen's operating-system layer on Windows, the user's side of it (win32.cpp has the files and
// the stop requests): the command line and the environment read wide, standard output for
// --help (the console typed at, or a message box, for a GUI program without one), the user's
// Pictures folder and the local time. Contract: lumen/os/os.h.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "lumen/win32_text.h"
#include "os/os.h"

namespace lumen::os {

using win32::systemErrorText;
using win32::wideOf;

std::vector<std::string> commandLine() {
    std::vector<std::string> args;
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) return args;
    for (int i = 1; i < count; ++i) args.push_back(win32::utf8Of(argv[i]));
    LocalFree(argv);
    return args;
}

std::optional<std::string> environmentValue(const char* name) {
    const std::wstring wide = wideOf(name);
    const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    const DWORD n = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
    if (n == 0 || n >= size) return n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt : std::optional<std::string>("");
    value.resize(n);
    return win32::utf8Of(value);
}

std::vector<std::string> environmentNames() {
    std::vector<std::string> names;
    wchar_t* block = GetEnvironmentStringsW();
    if (block == nullptr) return names;
    for (const wchar_t* e = block; *e != L'\0'; e += std::wcslen(e) + 1) {
        const std::wstring entry(e);
        // Entries such as "=C:=C:\\" name the current folders of drives: no variables.
        const std::size_t equals = entry.find(L'=', 1);
        if (entry[0] != L'=') names.push_back(win32::utf8Of(entry.substr(0, equals)));
    }
    FreeEnvironmentStringsW(block);
    return names;
}

namespace {

// Standard output as the process found it when the library was loaded, before Lumen put the
// NUL device behind a missing one: where a line written reaches someone, or null.
const HANDLE startOutput = [] {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    const bool usable = handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
    return usable ? handle : nullptr;
}();

}  // namespace

void printOut(const std::string& text) {
    const std::wstring wide = wideOf(text);
    DWORD mode = 0;
    if (startOutput != nullptr) {
        // A console takes UTF-16 whatever its code page; a file or a pipe gets the UTF-8 bytes.
        DWORD written = 0;
        if (GetConsoleMode(startOutput, &mode)) {
            WriteConsoleW(startOutput, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        } else {
            WriteFile(startOutput, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        }
        return;
    }
    // A GUI program typed at a console has no standard output: the console it was started from,
    // else (a double-click, a shortcut) a message box.
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
        if (console != INVALID_HANDLE_VALUE) {
            std::wstring lines;
            for (const wchar_t c : L"\n" + wide) lines += c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, c);
            DWORD written = 0;
            const BOOL ok = WriteConsoleW(console, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
            CloseHandle(console);
            if (ok) return;
        }
    }
    MessageBoxW(nullptr, wide.c_str(), L"Stackrise", MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
}

std::string picturesFolder(std::string& error) {
    wchar_t* path = nullptr;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_Pictures, KF_FLAG_CREATE, nullptr, &path);
    std::string folder = SUCCEEDED(result) && path != nullptr ? win32::utf8Of(path) : std::string();
    if (path != nullptr) CoTaskMemFree(path);
    if (folder.empty()) error = "the Pictures folder cannot be found: " + systemErrorText(static_cast<DWORD>(result));
    return folder;
}

void offerDownload(const std::string&, const std::string&) {}

std::string localTimeStamp() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u-%02u-%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    return text;
}

}  // namespace lumen::os
