// Text to and from the Windows API, for the Windows platform files of the program's start-up
// and of Lumen: UTF-8 handed to the system as its UTF-16, and the system's message for an
// error code. Included by Windows-only files.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "lumen/utf.h"

namespace lumen::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide text is UTF-16");

// `text` (UTF-8) as the system reads it (MultiByteToWideChar), so that a path names for us
// what it names for every other program; bytes that are not UTF-8 become U+FFFD.
inline std::wstring wideOf(std::string_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
    return out;
}

// The system's UTF-16 `text` as UTF-8 (lumen/utf.h: appendUtf8).
inline std::string utf8Of(std::wstring_view text) {
    std::string out;
    appendUtf8(out, std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
    return out;
}

// FormatMessageW's text for `error` from the system's messages, or from the message table of
// `module` when it is not null: one line (line breaks become spaces), inserts such as "%1"
// left as they are; empty when there is none.
inline std::wstring formatMessage(DWORD error, HMODULE module = nullptr) {
    const DWORD source = module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | source | FORMAT_MESSAGE_IGNORE_INSERTS |
                                       FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                   module, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n > 0 && buffer ? std::wstring(buffer, n) : std::wstring();
    if (buffer) LocalFree(buffer);
    return text;
}

// `text` as the line of a message: without the spaces, line ends and full stops that end it;
// "system error N" (N: `error` in decimal) when nothing is left.
inline std::wstring messageLine(std::wstring text, DWORD error) {
    while (!text.empty() && (text.back() == L' ' || text.back() == L'.' || text.back() == L'\r' || text.back() == L'\n'))
        text.pop_back();
    if (text.empty()) text = L"system error " + std::to_wstring(error);
    return text;
}

// The system's message for `error` as one line of UTF-8 without its full stop.
inline std::string systemErrorText(DWORD error) { return utf8Of(messageLine(formatMessage(error), error)); }

}  // namespace lumen::win32
