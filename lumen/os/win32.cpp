// Lumen's operating-system layer on Windows: files through CreateFileW/MoveFileExW with the CRT's
// streams on top, stop requests through the console's control handler (Ctrl-C, Ctrl-Break,
// close), the standard streams kept on the NUL device. Paths are UTF-8 in the core and UTF-16
// here (lumen/win32_text.h), as are the system's messages. Contract: lumen/os/os.h.
//
// Under Wine on Linux the process is also a Linux process that receives the host's signals:
// Wine turns SIGINT into Ctrl-C only for a process with a console, and lets SIGTERM and SIGHUP
// kill the process outright. There the stop signals get a handler of our own, installed with
// the host's own system call, which only sets the stop flag.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lumen/win32_text.h"
#include "os/os.h"

#if defined(__x86_64__)
// Returns from a host signal handler (rt_sigreturn), as the C library's restorer does.
asm(".text\n"
    ".globl lumen_host_sigreturn\n"
    "lumen_host_sigreturn:\n"
    "    movq $15, %rax\n"
    "    syscall\n");
extern "C" void lumen_host_sigreturn();
#endif

namespace lumen::os {

namespace {

using win32::systemErrorText;
using win32::wideOf;

std::atomic<bool> stopFlag{false};
bool watching = false;
HANDLE wakeEvent = nullptr;  // set with the first console stop request; sleepUntil waits on it

// Whether a stop request that comes at `nowMs` (ms, a steady clock) is the first one (true),
// one within kSameStopWindow of the first (false, `later` false) or a later one (`later` true).
// The host's signal handler (below) applies the same rule itself.
std::atomic<long long> firstStopMs{-1};
bool firstStop(long long nowMs, bool& later) {
    long long first = -1;
    later = false;
    if (firstStopMs.compare_exchange_strong(first, nowMs)) {
        stopFlag.store(true, std::memory_order_relaxed);
        return true;
    }
    later = nowMs - first > std::chrono::milliseconds(kSameStopWindow).count();
    return false;
}

std::string lastErrorText() { return systemErrorText(GetLastError()); }

bool isSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// A named pipe's path (\\.\pipe\NAME): opening one to look at it would take a pipe instance.
bool isPipePath(const std::wstring& path) {
    if (path.size() < 9 || !isSeparator(path[0]) || !isSeparator(path[1]) || path[2] != L'.' ||
        !isSeparator(path[3]) || !isSeparator(path[8]))
        return false;
    return CompareStringOrdinal(path.c_str() + 4, 4, L"pipe", 4, TRUE) == CSTR_EQUAL;
}

// The device namespace (\\.\NUL, \\.\CON, ...): what GetFullPathNameW makes of a device name.
bool isDevicePath(const std::wstring& path) {
    return path.size() > 4 && isSeparator(path[0]) && isSeparator(path[1]) && path[2] == L'.' &&
           isSeparator(path[3]);
}

std::wstring fullPath(const std::wstring& path) {
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring out(n, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), n, out.data(), nullptr);
    if (written == 0 || written >= n) return path;
    out.resize(written);
    return out;
}

// Opens an existing file, folder or device only to ask about it.
HANDLE openToInspect(const std::wstring& path) {
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// A CRT stream over `handle` (which it then owns); null with the reason on failure.
std::FILE* streamOver(HANDLE handle, bool append, std::string& error) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY | (append ? _O_APPEND : 0));
    if (fd < 0) {
        error = "no file descriptor left";
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, append ? "ab" : "wb");
    if (file == nullptr) {
        error = std::strerror(errno);
        _close(fd);
    }
    return file;
}

#if defined(__x86_64__)
// ---- Wine on a Linux host: the host's stop signals ----
// Linux x86-64 system call numbers and sigaction flags (the kernel's own structure and ABI).
constexpr long long kSysRtSigaction = 13, kSysGetpid = 39, kSysKill = 62, kSysClockGettime = 228;
constexpr int kSigHup = 1, kSigInt = 2, kSigTerm = 15;
constexpr long long kClockMonotonic = 1;
constexpr unsigned long long kSaRestart = 0x10000000, kSaRestorer = 0x04000000, kSaOnStack = 0x08000000;
struct HostSigaction {
    void* handler;
    unsigned long long flags;
    void* restorer;
    unsigned long long mask;
};
constexpr int kHostSignals[] = {kSigInt, kSigTerm, kSigHup};
HostSigaction savedHost[3];
bool hostWatching = false;

long long hostSyscall4(long long number, long long a, long long b, long long c, long long d) {
    long long result;
    register long long r10 asm("r10") = d;
    asm volatile("syscall" : "=a"(result) : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
    return result;
}

// Called by the host kernel (its calling convention) on the signal stack Wine gives each thread:
// the first signal asks for the stop (the pacer's sleep sees it within a slice), repeats within
// kSameStopWindow are the same request, a later one gets the host's default effect.
long long hostNow[2];                                     // the kernel's timespec: seconds, nanoseconds
const HostSigaction hostDefault{nullptr, 0, nullptr, 0};  // SIG_DFL
// Compiled without non-call exceptions: unwind data for a function of the host's calling
// convention cannot be placed by this compiler (a handler owes none: nothing may unwind it).
__attribute__((sysv_abi, optimize("no-non-call-exceptions"))) void onHostSignal(int sig) {
    hostSyscall4(kSysClockGettime, kClockMonotonic, reinterpret_cast<long long>(hostNow), 0, 0);
    long long first = -1;
    const long long nowMs = hostNow[0] * 1000 + hostNow[1] / 1000000;
    if (firstStopMs.compare_exchange_strong(first, nowMs)) {
        stopFlag.store(true, std::memory_order_relaxed);
        return;
    }
    if (nowMs - first <= std::chrono::milliseconds(kSameStopWindow).count()) return;
    hostSyscall4(kSysRtSigaction, sig, reinterpret_cast<long long>(&hostDefault), 0, 8);
    hostSyscall4(kSysKill, hostSyscall4(kSysGetpid, 0, 0, 0, 0), sig, 0, 0);  // taken on return
}

// True when this process runs under Wine on a Linux host.
bool onLinuxHost() {
    using HostVersion = void(__cdecl*)(const char** sysname, const char** release);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto hostVersion = ntdll ? reinterpret_cast<HostVersion>(
                                   reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_host_version")))
                             : nullptr;
    if (!hostVersion) return false;
    const char* sysname = nullptr;
    const char* release = nullptr;
    hostVersion(&sysname, &release);
    return sysname != nullptr && std::strcmp(sysname, "Linux") == 0;
}
#endif

BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT: {
            bool later = false;
            if (firstStop(static_cast<long long>(GetTickCount64()), later)) {
                if (wakeEvent) SetEvent(wakeEvent);
            } else if (later && event != CTRL_CLOSE_EVENT) {
                return FALSE;  // the system's effect: the process ends
            }
            // After the close event returns, the system ends the process: give the run a few
            // seconds to come to its next frame and end in order (it exits from there).
            if (event == CTRL_CLOSE_EVENT) Sleep(4000);
            return TRUE;
        }
        default: return FALSE;
    }
}

}  // namespace

std::optional<std::string> environmentVariable(const char* name) {
    const std::wstring wideName = wideOf(name);
    const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size <= 1) return std::nullopt;  // unset (0) or empty (1: the NUL alone)
    std::wstring value(size, L'\0');
    const DWORD n = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
    if (n == 0 || n >= size) return std::nullopt;
    value.resize(n);
    return win32::utf8Of(value);
}

std::FILE* openForReading(const std::string& path, std::string& error) {
    errno = 0;
    std::FILE* file = _wfopen(wideOf(path).c_str(), L"rb");
    if (file == nullptr) error = std::strerror(errno != 0 ? errno : ENOENT);
    return file;
}

PathKind pathKind(const std::string& path) {
    const std::wstring w = wideOf(path);
    if (w.empty()) return PathKind::Missing;
    if (isPipePath(w)) return PathKind::Stream;
    if (isDevicePath(fullPath(w))) return PathKind::Stream;
    HANDLE handle = openToInspect(w);
    if (handle != INVALID_HANDLE_VALUE) {
        PathKind kind = PathKind::Stream;
        if (GetFileType(handle) == FILE_TYPE_DISK) {
            BY_HANDLE_FILE_INFORMATION info{};
            kind = GetFileInformationByHandle(handle, &info) &&
                           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                       ? PathKind::Directory
                       : PathKind::Regular;
        }
        CloseHandle(handle);
        return kind;
    }
    // Not openable (locked, no access): the attributes still tell a folder from a file.
    const DWORD attributes = GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::Regular;
}

std::FILE* createTempBeside(const std::string& path, std::string& tempPath, std::string& error) {
    std::size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos && path.size() >= 2 && path[1] == ':') cut = 1;  // "C:name"
    const std::string folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    if (name.empty() || name == "." || name == "..") {
        error = "not a file name";
        return nullptr;
    }
    // A name of our own in the same folder, unique by process, clock and attempt; CREATE_NEW
    // never opens anything that is already there.
    LARGE_INTEGER tick{};
    QueryPerformanceCounter(&tick);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate =
            folder + "." + name + "." + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string((static_cast<unsigned long long>(tick.QuadPart) + attempt * 7919u) % 1000000007u) + ".tmp";
        HANDLE handle = CreateFileW(wideOf(candidate).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
            error = systemErrorText(code);
            return nullptr;
        }
        std::FILE* file = streamOver(handle, false, error);
        if (file == nullptr) {
            DeleteFileW(wideOf(candidate).c_str());
            return nullptr;
        }
        tempPath = candidate;
        return file;
    }
    error = "no free name for a temporary file";
    return nullptr;
}

bool syncFile(std::FILE* file, std::string& error) {
    if (std::fflush(file) != 0) {
        error = std::strerror(errno);
        return false;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) return true;
    if (!FlushFileBuffers(handle)) {
        const DWORD code = GetLastError();
        // File systems that cannot flush say so; that is no failure of the file.
        if (code == ERROR_INVALID_FUNCTION) return true;
        error = systemErrorText(code);
        return false;
    }
    return true;
}

bool replaceFile(const std::string& tempPath, const std::string& path, std::string& error) {
    if (!MoveFileExW(wideOf(tempPath).c_str(), wideOf(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = lastErrorText();
        return false;
    }
    return true;
}

void removeFile(const std::string& path) { DeleteFileW(wideOf(path).c_str()); }

std::FILE* openForWriting(const std::string& path, bool append, std::string& error) {
    HANDLE handle = CreateFileW(wideOf(path).c_str(), append ? FILE_APPEND_DATA | SYNCHRONIZE : GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = lastErrorText();
        return nullptr;
    }
    return streamOver(handle, append, error);
}

bool sameFile(const std::string& a, const std::string& b) {
    const std::wstring wa = wideOf(a);
    const std::wstring wb = wideOf(b);
    HANDLE ha = isPipePath(wa) ? INVALID_HANDLE_VALUE : openToInspect(wa);
    HANDLE hb = isPipePath(wb) ? INVALID_HANDLE_VALUE : openToInspect(wb);
    BY_HANDLE_FILE_INFORMATION ia{};
    BY_HANDLE_FILE_INFORMATION ib{};
    const bool known = ha != INVALID_HANDLE_VALUE && hb != INVALID_HANDLE_VALUE &&
                       GetFileType(ha) == FILE_TYPE_DISK && GetFileType(hb) == FILE_TYPE_DISK &&
                       GetFileInformationByHandle(ha, &ia) && GetFileInformationByHandle(hb, &ib);
    if (ha != INVALID_HANDLE_VALUE) CloseHandle(ha);
    if (hb != INVALID_HANDLE_VALUE) CloseHandle(hb);
    if (known) {
        return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
               ia.nFileIndexLow == ib.nFileIndexLow;
    }
    // Not both there (or devices): the same full path, compared as the file system does, without
    // regard to case and with either separator.
    std::wstring fa = fullPath(wa);
    std::wstring fb = fullPath(wb);
    for (std::wstring* p : {&fa, &fb}) {
        for (wchar_t& c : *p) c = c == L'/' ? L'\\' : c;
    }
    return CompareStringOrdinal(fa.c_str(), static_cast<int>(fa.size()), fb.c_str(), static_cast<int>(fb.size()),
                                TRUE) == CSTR_EQUAL;
}

// The core passes errno values (from the CRT's stream functions), as on POSIX; Windows API
// failures inside this file are turned into words with FormatMessageW where they happen.
std::string errorText(int error) { return std::strerror(error); }

void requestStop() {
    stopFlag.store(true, std::memory_order_relaxed);
    if (wakeEvent) SetEvent(wakeEvent);
}

bool stopRequested() { return stopFlag.load(std::memory_order_relaxed); }

void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    // The console's requests set the event; the host's signals (Wine) only the flag, which is
    // looked at every slice.
    constexpr long long kSliceMs = 20;
    for (;;) {
        if (stopRequested()) return;
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return;
        const long long ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        const DWORD wait = static_cast<DWORD>(std::min(ms, kSliceMs));
        if (wakeEvent) {
            WaitForSingleObject(wakeEvent, wait);
        } else {
            Sleep(wait);
        }
    }
}

void yieldToHost() {}

void watchStopRequests() {
    if (watching) return;
    if (!wakeEvent) wakeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A process started with Ctrl-C ignored (in a process group of its own) keeps ignoring it,
    // as its starter asked; Ctrl-Break and the console's close still reach the handler.
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
#if defined(__x86_64__)
    if (onLinuxHost()) {
        HostSigaction action{reinterpret_cast<void*>(&onHostSignal),
                             kSaRestart | kSaRestorer | kSaOnStack,
                             reinterpret_cast<void*>(&lumen_host_sigreturn), 0};
        hostWatching = true;
        for (int i = 0; i < 3; ++i) {
            if (hostSyscall4(kSysRtSigaction, kHostSignals[i], reinterpret_cast<long long>(&action),
                             reinterpret_cast<long long>(&savedHost[i]), 8) != 0)
                savedHost[i].handler = reinterpret_cast<void*>(-1);  // not taken: nothing to give back
        }
    }
#endif
    watching = true;
}

void unwatchStopRequests() {
    if (!watching) return;
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
#if defined(__x86_64__)
    if (hostWatching) {
        for (int i = 0; i < 3; ++i) {
            if (savedHost[i].handler != reinterpret_cast<void*>(-1))
                hostSyscall4(kSysRtSigaction, kHostSignals[i], reinterpret_cast<long long>(&savedHost[i]), 0, 8);
        }
        hostWatching = false;
    }
#endif
    watching = false;
}

// A write to a pipe whose reader is gone fails with an error on Windows (Wine ignores the host's
// SIGPIPE for the same end): nothing to change.
void ignoreBrokenPipes() {}

void keepStandardDescriptors() {
    // A program without a console (a double-click) has no standard streams: the CRT's descriptors
    // 0 to 2 stay reserved, so nothing opened later can take their place; writes to them are
    // dropped. Where a descriptor has no handle, the NUL device stands in, so that writing to it
    // is an ordinary successful write and not an error.
    for (int fd = 0; fd < 3; ++fd) {
        const intptr_t handle = _get_osfhandle(fd);
        if (handle != -1 && handle != -2 && handle != 0) continue;
        const int opened = _wopen(L"NUL", fd == 0 ? _O_RDONLY | _O_BINARY : _O_WRONLY | _O_BINARY);
        if (opened < 0) continue;
        if (opened != fd) {
            _dup2(opened, fd);
            _close(opened);
        }
    }
}

[[noreturn]] __attribute__((noinline)) void raiseFault(uint32_t code, uint64_t argument,
                                                     uint64_t /*address*/) {
    const ULONG_PTR arguments[1] = {static_cast<ULONG_PTR>(argument)};
    RaiseException(code, 0, 1, arguments);
    // A handler continued the raise unchanged: nothing can go on from here.
    ExitProcess(code == 0 ? 0 : 1);
}

bool iconHasPlatformForm(const void*) { return true; }

// Large pages need a privilege that programs do not have by default: 4 KiB pages it is.
void preferLargePages(void*, std::size_t) {}

// The bytes go to the stream's handle directly (after anything the stream holds), so that a
// failure comes with the system's own reason: the C library reports a full disk as an invalid
// argument.
std::string writeAll(std::FILE* out, const uint8_t* bytes, std::size_t size) {
    errno = 0;
    if (std::fflush(out) != 0 || std::ferror(out) != 0) return std::strerror(errno != 0 ? errno : EIO);
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    if (handle == INVALID_HANDLE_VALUE) return "no file";
    for (std::size_t at = 0; at < size;) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - at, 1u << 24));
        DWORD written = 0;
        if (!WriteFile(handle, bytes + at, chunk, &written, nullptr)) return systemErrorText(GetLastError());
        if (written == 0) return systemErrorText(ERROR_DISK_FULL);
        at += written;
    }
    return "";
}

}  // namespace lumen::os
