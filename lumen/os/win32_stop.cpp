// Stop requests on Windows (contract: lumen/os/os.h): the console's control handler (Ctrl-C,
// Ctrl-Break, close), and the pacer's sleep that wakes for them; with os/win32.cpp, the Windows
// layer.
//
// Under Wine on Linux the process is also a Linux process that receives the host's signals:
// Wine turns SIGINT into Ctrl-C only for a process with a console, and lets SIGTERM and SIGHUP
// kill the process outright. There the stop signals get a handler of our own, installed with
// the host's own system call, which sets the stop flag (and lets a late repeat kill).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

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

}  // namespace lumen::os
