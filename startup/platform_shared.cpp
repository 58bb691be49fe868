// What the platform files share (startup/platform.h): the line on standard error, the name of
// a code address and the text of a message box on every platform; and where faults are C++ exceptions and the icon is the
// .ico image embedded in the program (POSIX and the web, not Windows), raising a fault, the
// icon, the end of the process and the build identifier.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lumen/lumen.h"
#include "lumen/utf.h"
#include "resources/icon.h"
#include "startup/platform.h"

namespace platform {

void writeStandardError(std::string_view line) {
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string moduleOffset(std::string_view module, uint64_t offset) {
    char text[32];
    std::snprintf(text, sizeof text, "+0x%llx", static_cast<unsigned long long>(offset));
    return std::string(module) + text;
}

std::string boxText(std::string_view line, std::size_t width, std::size_t maxLines) {
    // The code points of `line`, each as its bytes (a byte that starts none stands alone).
    std::vector<std::string_view> chars;
    for (std::size_t at = 0; at < line.size();) {
        std::size_t length = 1;
        lumen::decodeUtf8(line, at, length);
        chars.push_back(line.substr(at, length));
        at += length;
    }
    std::vector<std::string> rows;
    std::size_t at = 0;
    while (at < chars.size() && rows.size() <= maxLines) {
        std::size_t end = std::min(chars.size(), at + width);
        if (end < chars.size()) {
            // The last space within the width ends the row; a word longer than a row is cut.
            std::size_t space = end;
            while (space > at && chars[space] != " ") --space;
            if (space > at) end = space;
        }
        std::string row;
        for (std::size_t i = at; i < end; ++i) row.append(chars[i]);
        rows.push_back(std::move(row));
        at = end;
        while (at < chars.size() && chars[at] == " ") ++at;
    }
    if (rows.size() > maxLines || at < chars.size()) {
        rows.resize(maxLines);
        rows.back().append("...");
    }
    std::string text;
    for (const std::string& row : rows) text.append(text.empty() ? "" : "\n").append(row);
    return text;
}

#if !defined(_WIN32)

void endProcess(int status) {
    std::fflush(nullptr);
    std::_Exit(status);  // no atexit handlers, no static destructors
}

const void* loadIcon(void* instance, int id) {
    if (!instance || id != 101) return nullptr;
    return &resources::kIcon;
}

void raiseFault(uint32_t code, uint64_t argument, uint64_t address) {
    throw lumen::Fault{code, argument, address};
}

uint64_t buildIdentifier(uint64_t generated) { return generated; }

#endif

}  // namespace platform
