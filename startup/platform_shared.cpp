// What the platform files share (startup/platform.h): the line on standard error and the name
// of a code address on every platform; and where faults are C++ exceptions and the icon is the
// .ico image embedded in the program (POSIX and the web, not Windows), raising a fault, the
// icon, the end of the process and the build identifier.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lumen/lumen.h"
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
