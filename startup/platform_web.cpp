// The platform layer on the web (WebAssembly built with emscripten): node's runner and the page.
//
// Provides: the library bound by name from Data/Lumen.lmd beside the program's script (on the
// page, its copy in the in-memory file system), the diagnostic line handed to the page, the
// program's floating-point mode in software (rt::SoftFloat, whose trap raises fault 0xC0000090),
// and the processor's traps caught at the top; process exit, the embedded icon and faults as
// C++ exceptions (lumen::Fault) are platform_shared.cpp's.
//
// The library: Lumen's code is linked into the program's module, because this toolchain cannot
// pause a side module inside Act (which the page needs) while C++ exceptions cross it.
// Data/Lumen.lmd is the library's export list: a first line naming its form, then one exported
// name a line. Loading reads that file; a name is found when the file lists it and the linked
// table has it, so a missing or damaged file, or a missing name, fails binding as a missing
// library does elsewhere.
//
// Processor faults: WebAssembly has no floating-point modes or flags and never traps on them. An
// access outside the module's memory, an integer division by zero, an unreachable instruction
// and the stack running out stop the module with a JavaScript error that no C++ handler sees.
// The top-level handler catches that error, puts the stack pointer back, and hands the fault to
// `lost`, as the Windows build does with a fault that cannot be continued: nothing between the
// fault and the top is unwound.
//
// On the page (cmake/web_page.cmake) Act pauses the module until an animation frame
// (asyncify): the program's frames are put aside and the call of the program from the top-level
// handler returns; when the frame comes, the module is re-entered from `main` and calls the
// handler again, which calls the program again, and every frame is put back as it was. So the
// handler's catch holds around the program in every frame, and an error after a pause ends
// the run through `lost` as before one. Its JavaScript frame keeps nothing between the calls.
#include <emscripten.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lumen/lumen.h"
#include "lumen/utf.h"
#include "lumen/web.h"
#include "runtime/float.h"
#include "startup/fpmode.h"
#include "startup/platform.h"

// The program's folder, with a trailing '/', and its length in bytes: the script's folder in
// node, the page's folder in its in-memory file system (Module.stackriseFolder) on the page.
EM_JS(int, stackrise_web_folder, (char* buffer, int size), {
    var folder = typeof Module.stackriseFolder == 'string' ? Module.stackriseFolder : scriptDirectory;
    return stringToUTF8(folder, buffer, size);
});
EM_JS(int, stackrise_web_folder_length, (), {
    var folder = typeof Module.stackriseFolder == 'string' ? Module.stackriseFolder : scriptDirectory;
    return lengthBytesUTF8(folder);
});

// Hands the run's diagnostic line to the page (Module.onDiagnostic), which shows it.
EM_JS(void, stackrise_web_diagnostic, (const char* line), {
    if (Module.onDiagnostic) Module.onDiagnostic(UTF8ToString(line));
});

// Calls the function whose table index is `body` (a void() function). A JavaScript error out of
// it (a trap of the module, or a stack running out) comes back as a fault code after the stack
// pointer is put back; 0 when body returned. C++ exceptions never reach here: body catches them.
EM_JS(uint32_t, stackrise_web_run, (int body), {
    var sp = stackSave();
    try {
        getWasmTableEntry(body)();
        return 0;
    } catch (e) {
        stackRestore(sp);
        if (e instanceof ExitStatus || e === 'unwind') throw e;
        var text = String(e && e.message !== undefined ? e.message : e);
        if (e instanceof RangeError || text.indexOf('stack overflow') >= 0) return 0xC00000FD;
        if (text.indexOf('divide by zero') >= 0) return 0xC0000094;
        if (text.indexOf('divide result unrepresentable') >= 0) return 0xC0000095;
        if (text.indexOf('unreachable') >= 0) return 0xC000001D;
        return 0xC0000005;
    }
});

namespace platform {

namespace {

uint64_t* faultCellOfTrap = nullptr;

// The first line of Data/Lumen.lmd on the web.
constexpr char kExportListForm[] = "Lumen export list 1";

struct ExportList {
    std::vector<std::string> names;
};

std::string scriptFolder() {
    const int length = stackrise_web_folder_length();
    std::string folder(static_cast<size_t>(length) + 1, '\0');
    stackrise_web_folder(folder.data(), length + 1);
    folder.resize(static_cast<size_t>(length));
    return folder;
}

// The program's invalid floating-point operation: fault 0xC0000090 raised at the trapping place
// (the code that called the trap), through the same handling as every fault.
__attribute__((noinline)) void onInvalidOperation() {
    const uint64_t place = reinterpret_cast<uint64_t>(__builtin_return_address(0)) - 1;
    if (faultCellOfTrap && *faultCellOfTrap == 0) *faultCellOfTrap = place;
    throw lumen::Fault{lumen::kFloatInvalid, 0, place};
}

int markerOfModule = 0;

}  // namespace

Library loadLibrary(std::u16string_view path, std::string& why) {
    std::string full = scriptFolder();
    if (full.empty() || full.back() != '/') full += '/';
    lumen::appendUtf8(full, path);
    std::FILE* file = std::fopen(full.c_str(), "rb");
    if (file == nullptr) {
        why = full + ": " + std::strerror(errno);
        return nullptr;
    }
    std::string text;
    char block[4096];
    size_t n = 0;
    // An export list is small: reading stops after 1 MiB.
    while (text.size() < (1u << 20) && (n = std::fread(block, 1, sizeof block, file)) > 0) text.append(block, n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (failed || lines.empty() || lines.front() != kExportListForm) {
        why = full + (failed ? ": cannot be read" : ": not a Lumen export list");
        return nullptr;
    }
    auto* list = new ExportList;
    list->names.assign(lines.begin() + 1, lines.end());
    return list;
}

std::string libraryAdvice() { return ""; }

void* findName(Library library, const char* name) {
    const auto* list = static_cast<const ExportList*>(library);
    bool listed = false;
    for (const std::string& n : list->names) listed = listed || n == name;
    if (!listed) return nullptr;
    for (int i = 0; i < lumenWebExportCount; ++i) {
        if (std::strcmp(lumenWebExports[i].name, name) == 0) return lumenWebExports[i].entry;
    }
    return nullptr;
}

void releaseLibrary(Library library) { delete static_cast<ExportList*>(library); }

void* moduleHandle() { return &markerOfModule; }

void catchProcessorFaults(uint64_t* faultCell) {
    faultCellOfTrap = faultCell;
    rt::setFloatTrap(onInvalidOperation);
}

void runUnderFaultHandler(void (*body)(), void (*lost)(const lumen::Fault&)) {
    const uint32_t code = stackrise_web_run(static_cast<int>(reinterpret_cast<intptr_t>(body)));
    if (code != 0) lost(lumen::Fault{code, 0, 0});
}

std::string describeAddress(uint64_t address) {
    if (address == 0) return {};
    return moduleOffset("stackrise.wasm", address);
}

// The page is told first, so that it knows the line as a fault's when it reaches stderr.
void writeErrorLine(std::string_view line) {
    stackrise_web_diagnostic(std::string(line).c_str());
    writeStandardError(line);
}

}  // namespace platform

namespace startup {

// WebAssembly has one floating-point mode, round to nearest with nothing trapping: the
// program's mode (startup/fpmode.h) is made in software by rt::SoftFloat instead.
void setFloatingPointMode() {}

// The mode the program's Float computes in: kFloatMode.
uint32_t floatingPointMode() { return kFloatMode; }

}  // namespace startup
