// The platform layer on Windows (x64).
//
// Provides: LoadLibraryW/GetProcAddress binding (the loader looks in the executable's folder
// first), FreeLibrary, ExitProcess, the module handle from GetModuleHandleW, the icon from
// LoadIconW, faults raised with RaiseException, and the outermost structured-exception handler
// (seh_windows.c) that turns every fault reaching the top (access violations, the
// floating-point trap, RaiseException from Lumen or from the program) into a lumen::Fault
// thrown at the faulting place, so that the program's C++ frames release their references on
// the way to the top-level catch exactly as on Linux.
// Needs: all program C++ built by mingw g++ with -fnon-call-exceptions (a fault in a frame
// without call-site entries for its instructions would end in std::terminate).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lumen/lumen.h"
#include "startup/fpmode.h"
#include "startup/platform.h"
#include "startup/seh_windows.h"

namespace platform {

namespace {

StackriseSehTop top{};

// The image [base, end) of the module that holds `address`, or false.
bool moduleRange(const void* address, unsigned long long& base, unsigned long long& end) {
    MEMORY_BASIC_INFORMATION info{};
    if (!VirtualQuery(address, &info, sizeof info) || !info.AllocationBase) return false;
    const auto* dos = static_cast<const IMAGE_DOS_HEADER*>(info.AllocationBase);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
        reinterpret_cast<const char*>(dos) + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return false;
    base = reinterpret_cast<unsigned long long>(dos);
    end = base + nt->OptionalHeader.SizeOfImage;
    return true;
}

const IMAGE_NT_HEADERS64* ownHeaders() {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(GetModuleHandleW(nullptr));
    return reinterpret_cast<const IMAGE_NT_HEADERS64*>(reinterpret_cast<const char*>(dos) + dos->e_lfanew);
}

// Called, in effect, by the faulting frame (see seh_windows.c).
[[noreturn]] __attribute__((noinline, used)) void throwTurnedFault() {
    throw lumen::Fault{top.code, top.argument, top.address};
}

}  // namespace

Library loadLibrary(std::u16string_view path, std::string& why) {
    const std::u16string text(path);
    HMODULE module = LoadLibraryW(reinterpret_cast<const wchar_t*>(text.c_str()));
    if (!module) why = "system error " + std::to_string(GetLastError());
    return module;
}

void* findName(Library library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void releaseLibrary(Library library) { FreeLibrary(static_cast<HMODULE>(library)); }

void endProcess(int status) {
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(status));
}

void* moduleHandle() { return GetModuleHandleW(nullptr); }

const void* loadIcon(void* instance, int id) {
    return LoadIconW(static_cast<HINSTANCE>(instance), MAKEINTRESOURCEW(id));
}

void raiseFault(uint32_t code, uint64_t argument, uint64_t) {
    const ULONG_PTR arguments[1] = {static_cast<ULONG_PTR>(argument)};
    RaiseException(code, 0, 1, arguments);
    // Only a handler that continues the exception unchanged gets here.
    throw lumen::Fault{code, argument, 0};
}

void catchProcessorFaults(uint64_t* faultCell) {
    top.faultCell = reinterpret_cast<unsigned long long*>(faultCell);
}

void runUnderFaultHandler(void (*body)(), void (*lost)(const lumen::Fault&)) {
    moduleRange(GetModuleHandleW(nullptr), top.imageBase, top.imageEnd);
    // The system's raise path: RaiseException (kernel32, which hands it on to kernelbase where
    // that exists) and the dispatch in ntdll.
    const void* system[STACKRISE_SEH_SYSTEM_MODULES] = {
        reinterpret_cast<const void*>(&RaiseException), reinterpret_cast<const void*>(&RtlUnwindEx),
        GetModuleHandleW(L"kernelbase.dll")};
    for (int i = 0; i < STACKRISE_SEH_SYSTEM_MODULES; ++i) {
        if (system[i]) moduleRange(system[i], top.systemBase[i], top.systemEnd[i]);
    }
    top.mxcsr = startup::floatingPointMode() & ~0x3Fu;
    top.thrower = &throwTurnedFault;
    static void (*lostHandler)(const lumen::Fault&) = nullptr;
    static lumen::Fault pending{};
    lostHandler = lost;
    // A fault that cannot be turned around abandons the body; the handling then runs on its own
    // (and a fault in it is turned around or, at worst, lost in turn, a bounded number of times).
    if (!stackrise_seh_run(body, &top)) return;
    for (int attempt = 0; attempt < 3; ++attempt) {
        pending = lumen::Fault{top.code, top.argument, top.address};
        if (!stackrise_seh_run([] { lostHandler(pending); }, &top)) return;
    }
}

uint64_t buildIdentifier(uint64_t generated) {
    const uint64_t stamp = ownHeaders()->FileHeader.TimeDateStamp;
    return (stamp << 32) | (generated & 0xFFFFFFFFu);
}

std::string describeAddress(uint64_t address) {
    unsigned long long base = 0;
    unsigned long long end = 0;
    if (!moduleRange(reinterpret_cast<const void*>(address), base, end)) return {};
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(base), path, MAX_PATH);
    std::string name;
    for (DWORD i = 0; i < n; ++i) {
        const wchar_t c = path[i];
        if (c == L'\\' || c == L'/') {
            name.clear();
        } else {
            name += c < 0x80 ? static_cast<char>(c) : '?';
        }
    }
    if (name.empty()) name = "module";
    char offset[32];
    std::snprintf(offset, sizeof offset, "+0x%llx", static_cast<unsigned long long>(address - base));
    return name + offset;
}

void writeErrorLine(std::string_view line) {
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace platform
