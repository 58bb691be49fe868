// The platform layer on Windows (x64).
//
// Provides: binding by LoadLibraryExW of the library's absolute path in the executable's own
// folder (no search order applies) and GetProcAddress, FreeLibrary, ExitProcess, the module
// handle from GetModuleHandleW, the icon from LoadIconW, faults raised with RaiseException, the
// diagnostic line on standard error or, for a program started without a console or standard
// error (a double-click), in a message box as well, and the outermost structured-exception
// handler (seh_windows.c) that turns every fault reaching the top (access violations, the
// floating-point trap, a stack overflow, RaiseException from Lumen or from the program) into a
// lumen::Fault thrown at the faulting place, so that the program's C++ frames release their
// references on the way to the top-level catch exactly as on Linux.
// Needs: all program C++ built by mingw g++ with -fnon-call-exceptions (a fault in a frame
// without call-site entries for its instructions would end in std::terminate).
#include <windows.h>

#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lumen/lumen.h"
#include "lumen/win32_text.h"
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
    // A stack overflow used up the guard page below the stack; put it back, so that a second
    // overflow is a fault again and not the end of the process.
    if (top.code == STATUS_STACK_OVERFLOW) _resetstkoflw();
    throw lumen::Fault{top.code, top.argument, top.address};
}

using lumen::win32::utf8Of;

// The system's message for an error code, one line, without its closing full stop; "%1" (the
// file in messages about one) becomes `subject`.
std::wstring systemMessage(DWORD error, const std::wstring& subject) {
    std::wstring text = lumen::win32::formatMessage(error);
    // A status code that the loader passes on as it is (a fault in the library's start-up code):
    // the system's status texts.
    if (text.empty() && (error & 0xC0000000u) == 0xC0000000u) {
        text = lumen::win32::formatMessage(error, GetModuleHandleW(L"ntdll.dll"));
        if (text.empty()) {
            // Systems without those texts (Wine): the faults a library's start-up code can meet.
            switch (error) {
                case 0xC0000005u: text = L"its start-up code made an invalid memory access"; break;
                case 0xC000001Du: text = L"its start-up code met an illegal instruction"; break;
                case 0xC00000FDu: text = L"its start-up code overflowed the stack"; break;
                case 0xC0000094u: text = L"its start-up code divided by zero"; break;
                case 0xC0000142u: text = L"its start-up code failed"; break;
                default: break;
            }
        }
        wchar_t code[16];
        std::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(error));
        text = text.empty() ? std::wstring(L"status ") + code : text + L" (" + code + L")";
    }
    for (size_t at = text.find(L"%1"); at != std::wstring::npos; at = text.find(L"%1", at + subject.size()))
        text.replace(at, 2, subject);
    return lumen::win32::messageLine(text, error);
}

// The executable's full file name, however long; empty with the error code in `error` if the
// system cannot give it.
std::wstring executablePath(DWORD& error) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        error = GetLastError();
        if (n == 0) return {};
        // A name that filled the buffer may have been cut: try again with room for more.
        if (n < path.size() && error != ERROR_INSUFFICIENT_BUFFER) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 0x10000) {
            error = ERROR_FILENAME_EXCED_RANGE;
            return {};
        }
        path.resize(path.size() * 2);
    }
}

// Standard error as the process found it at start (Lumen may later put the NUL device behind
// the CRT's descriptor 2): a console, file or pipe that a line written there reaches.
const bool stderrUsable = [] {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}();

}  // namespace

Library loadLibrary(std::u16string_view path, std::string& why) {
    DWORD error = ERROR_SUCCESS;
    const std::wstring exe = executablePath(error);
    const size_t slash = exe.find_last_of(L"\\/");
    if (exe.empty() || slash == std::wstring::npos) {
        why = "the program's own folder cannot be found: " +
              utf8Of(systemMessage(error != ERROR_SUCCESS ? error : ERROR_PATH_NOT_FOUND, L"the program"));
        return nullptr;
    }
    std::wstring full = exe.substr(0, slash + 1);
    for (const char16_t c : path) full += c == u'/' ? L'\\' : static_cast<wchar_t>(c);
    // Beyond the classic path limit only the \\?\ form reaches the file.
    std::wstring load = full;
    if (load.size() >= MAX_PATH && load.rfind(L"\\\\", 0) != 0) {
        load = L"\\\\?\\" + load;
    } else if (load.size() >= MAX_PATH && load.rfind(L"\\\\?\\", 0) != 0 && load.rfind(L"\\\\.\\", 0) != 0) {
        load = L"\\\\?\\UNC\\" + load.substr(2);
    }
    // By absolute path: no search order applies to the library itself, and its own imports come
    // from its folder and the system folder only. No system dialog for a damaged file.
    DWORD oldMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    HMODULE module = LoadLibraryExW(load.c_str(), nullptr,
                                    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    error = GetLastError();
    if (!module && error == ERROR_INVALID_PARAMETER) {
        // A system without those flags: the library's folder first for its imports.
        module = LoadLibraryExW(load.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        error = GetLastError();
    }
    SetThreadErrorMode(oldMode, nullptr);
    if (!module) {
        const std::wstring name = full.substr(full.find_last_of(L'\\') + 1);
        why = utf8Of(full) + ": " + utf8Of(systemMessage(error, name));
    }
    return module;
}

std::string libraryAdvice() {
    return "; keep Data\\Lumen.lmd beside stackrise.exe: extract the whole folder from the zip, "
           "not the program alone, or extract it again if it is damaged";
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
    // Room for the handling of a stack overflow: the system raises it while this much stack is
    // left, and the filter and the way back to the program's frame run in it.
    ULONG guarantee = 64 * 1024;
    SetThreadStackGuarantee(&guarantee);
    // Wine commits the whole stack at once with a single guard page at its very end, where the
    // exception can no longer be delivered (the thread is ended instead). A guard page at the
    // current depth makes Wine move it down a page at a time as Windows does, and raise the
    // overflow while the guaranteed room is left. Windows keeps its own guard page; there a
    // stray one would be a fault of its own.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) {
        volatile char here = 0;
        DWORD old = 0;
        VirtualProtect(const_cast<char*>(&here), 1, PAGE_READWRITE | PAGE_GUARD, &old);
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
    std::wstring path(0x8000, L'\0');
    const DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(base), path.data(), static_cast<DWORD>(path.size()));
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
    return moduleOffset(name, address - base);
}

constexpr std::size_t kBoxWidth = 80;  // characters a line of the message box
constexpr std::size_t kBoxLines = 20;  // lines the message box shows at most

void writeErrorLine(std::string_view line) {
    writeStandardError(line);
    if (stderrUsable) return;
    // No standard error: started from a console (the line goes there) or without one, as by a
    // double-click (the line is shown in a message box, which waits for the user).
    const std::wstring wide = lumen::win32::wideOf(line);
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
        if (console != INVALID_HANDLE_VALUE) {
            const std::wstring withEnd = L"\r\n" + wide + L"\r\n";
            DWORD written = 0;
            const BOOL ok = WriteConsoleW(console, withEnd.data(), static_cast<DWORD>(withEnd.size()), &written, nullptr);
            CloseHandle(console);
            if (ok) return;
        }
    }
    // Wrapped and capped, so that a long message keeps the box (and its button) on the screen.
    const std::wstring shown = lumen::win32::wideOf(boxText(line, kBoxWidth, kBoxLines));
    MessageBoxW(nullptr, shown.c_str(), L"Stackrise", MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

}  // namespace platform
