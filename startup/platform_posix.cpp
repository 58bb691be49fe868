// The platform layer on POSIX (Linux, x86-64).
//
// Provides: dlopen/dlsym binding resolved against the executable's directory, the module handle
// as the executable's load address, and processor faults turned into C++ exceptions
// (lumen::Fault) by SIGSEGV/SIGBUS/SIGFPE/SIGILL handlers; process exit, the embedded icon and
// faults raised as those exceptions are platform_shared.cpp's.
// A stack overflow is caught on an alternate signal stack and becomes fault 0xC00000FD; a
// processor fault while the library is being loaded (a damaged file) makes the load fail.
// Limits: x86-64 only (reads RIP and MXCSR from the signal context); needs every frame between
// a fault and its handler built with -fnon-call-exceptions and unwind tables.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "lumen/lumen.h"
#include "lumen/utf.h"
#include "startup/platform.h"

namespace platform {

namespace {

// The folder of the executable's real path, however long; false with the reason when the
// system cannot say (never the working directory in its place).
bool executableDirectory(std::string& folder, std::string& why) {
    std::string path(4096, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) {
            why = "cannot find the executable's own folder (/proc/self/exe: " +
                  std::string(std::strerror(errno)) + ")";
            return false;
        }
        if (static_cast<size_t>(n) < path.size()) {
            path.resize(static_cast<size_t>(n));
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.rfind('/');
    if (path.empty() || path[0] != '/' || slash == std::string::npos) {
        why = "cannot find the executable's own folder (/proc/self/exe gives \"" + path + "\")";
        return false;
    }
    folder = path.substr(0, slash);
    return true;
}

uint64_t* faultCellOfHandlers = nullptr;

// Set while the dynamic loader maps the library: a processor fault then means a damaged file,
// and the handler returns to loadLibrary instead of throwing through the loader's frames.
volatile sig_atomic_t loadingLibrary = 0;
sigjmp_buf loadFailed;

// The alternate stack the handlers run on, so that a stack overflow can be reported.
alignas(16) char signalStack[64 * 1024];

// A fault at an address within a few pages of the stack pointer is the stack running out.
bool isStackOverflow(int sig, const siginfo_t* info, const ucontext_t* uc) {
    if (sig != SIGSEGV) return false;
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    const auto sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
    return address != 0 && address + 65536 >= sp && address <= sp + 4096;
}

uint32_t codeOf(int sig, int siCode) {
    switch (sig) {
        case SIGSEGV:
        case SIGBUS: return lumen::kAccessViolation;
        case SIGILL: return lumen::kIllegalInstruction;
        case SIGFPE:
            switch (siCode) {
                case FPE_INTDIV: return lumen::kIntDivideByZero;
                case FPE_INTOVF: return lumen::kIntOverflow;
                case FPE_FLTDIV: return lumen::kFloatDivideByZero;
                case FPE_FLTOVF: return lumen::kFloatOverflow;
                case FPE_FLTUND: return lumen::kFloatUnderflow;
                case FPE_FLTRES: return lumen::kFloatInexact;
                default: return lumen::kFloatInvalid;
            }
        default: return lumen::kAccessViolation;
    }
}

void onProcessorFault(int sig, siginfo_t* info, void* context) {
    if (loadingLibrary) siglongjmp(loadFailed, sig);
    auto* uc = static_cast<ucontext_t*>(context);
    const auto place = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
    if (faultCellOfHandlers && *faultCellOfHandlers == 0) *faultCellOfHandlers = place;
    // The handler runs with a fresh floating-point state; leaving it by an exception instead of
    // a return would keep that state. Take back the interrupted code's mode, flags cleared.
    if (uc->uc_mcontext.fpregs) _mm_setcsr(uc->uc_mcontext.fpregs->mxcsr & ~0x3Fu);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    const uint32_t code = isStackOverflow(sig, info, uc) ? lumen::kStackOverflow : codeOf(sig, info->si_code);
    throw lumen::Fault{code, 0, place};
}

}  // namespace

Library loadLibrary(std::u16string_view path, std::string& why) {
    std::string full;
    if (!executableDirectory(full, why)) return nullptr;
    full += "/";
    lumen::appendUtf8(full, path);
    // A damaged file can make the loader touch pages beyond its end (SIGBUS) or run broken
    // code; the handler then jumps back here. The loader's lock stays taken by this thread,
    // which only reports the failure and ends.
    const int sig = sigsetjmp(loadFailed, 1);
    if (sig != 0) {
        loadingLibrary = 0;
        why = full + ": the file is damaged (" + strsignal(sig) + " while loading it)";
        return nullptr;
    }
    loadingLibrary = 1;
    void* handle = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
    loadingLibrary = 0;
    if (!handle) {
        const char* error = dlerror();
        why = error ? error : full + ": cannot be loaded";
    }
    return handle;
}

std::string libraryAdvice() { return ""; }

void* findName(Library library, const char* name) {
    void* entry = dlsym(library, name);
    if (!entry) return nullptr;
    // dlsym also searches the library's dependencies; only the library's own exports count.
    link_map* map = nullptr;
    Dl_info info{};
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || !dladdr(entry, &info) || !map) return nullptr;
    return std::strcmp(info.dli_fname, map->l_name) == 0 ? entry : nullptr;
}

void releaseLibrary(Library library) { dlclose(library); }

void* moduleHandle() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&moduleHandle), &info)) return nullptr;
    return info.dli_fbase;
}

void catchProcessorFaults(uint64_t* faultCell) {
    faultCellOfHandlers = faultCell;
    // Closed standard descriptors are kept on the null device, so that no file opened later
    // (the library, Lumen's outputs) takes their place and gets the diagnostic line.
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
    stack_t alternate{};
    alternate.ss_sp = signalStack;
    alternate.ss_size = sizeof signalStack;
    sigaltstack(&alternate, nullptr);
    struct sigaction action {};
    action.sa_sigaction = onProcessorFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(sig, &action, nullptr);
}

void runUnderFaultHandler(void (*body)(), void (*)(const lumen::Fault&)) { body(); }

std::string describeAddress(uint64_t address) {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(address), &info) || !info.dli_fname) return {};
    std::string name = info.dli_fname;
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    if (name.empty()) name = "stackrise";
    return moduleOffset(name, address - reinterpret_cast<uint64_t>(info.dli_fbase));
}

void writeErrorLine(std::string_view line) { writeStandardError(line); }

}  // namespace platform
