// The platform layer on POSIX (Linux, x86-64).
//
// Provides: dlopen/dlsym binding resolved against the executable's directory, process exit
// without static destructors, the module handle as the executable's load address, the icon as
// the .ico image embedded in the executable, faults as C++ exceptions (lumen::Fault), and
// processor faults turned into those exceptions by SIGSEGV/SIGBUS/SIGFPE/SIGILL handlers.
// Limits: x86-64 only (reads RIP and MXCSR from the signal context); needs every frame between
// a fault and its handler built with -fnon-call-exceptions and unwind tables. A stack overflow
// is not caught (there is no alternate signal stack).
#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lumen/lumen.h"
#include "resources/icon.h"
#include "startup/platform.h"
#include "startup/utf8.h"

namespace platform {

namespace {

std::string executableDirectory() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string full(path);
    const size_t slash = full.rfind('/');
    return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
}

uint64_t* faultCellOfHandlers = nullptr;

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
    throw lumen::Fault{codeOf(sig, info->si_code), 0, place};
}

}  // namespace

Library loadLibrary(std::u16string_view path, std::string& why) {
    std::string full = executableDirectory() + "/";
    startup::appendUtf8(full, path);
    void* handle = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        why = error ? error : full + ": cannot be loaded";
    }
    return handle;
}

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

void endProcess(int status) {
    std::fflush(nullptr);
    _exit(status);
}

void* moduleHandle() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&moduleHandle), &info)) return nullptr;
    return info.dli_fbase;
}

const void* loadIcon(void* instance, int id) {
    if (!instance || id != 101) return nullptr;
    return &resources::kIcon;
}

void raiseFault(uint32_t code, uint64_t argument, uint64_t address) {
    throw lumen::Fault{code, argument, address};
}

void catchProcessorFaults(uint64_t* faultCell) {
    faultCellOfHandlers = faultCell;
    struct sigaction action {};
    action.sa_sigaction = onProcessorFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(sig, &action, nullptr);
}

void runUnderFaultHandler(void (*body)(), void (*)(const lumen::Fault&)) { body(); }

uint64_t buildIdentifier(uint64_t generated) { return generated; }

std::string describeAddress(uint64_t address) {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(address), &info) || !info.dli_fname) return {};
    std::string name = info.dli_fname;
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    if (name.empty()) name = "stackrise";
    char offset[32];
    std::snprintf(offset, sizeof offset, "+0x%llx",
                  static_cast<unsigned long long>(address - reinterpret_cast<uint64_t>(info.dli_fbase)));
    return name + offset;
}

void writeErrorLine(std::string_view line) {
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace platform
