// A stand-in runtime library for the binding tests, built for Linux and for Windows. It exports
// the 132 names; a build may rename one away (compile definition NAME=NAME_omitted) and may add
// an extra name (FAKE_EXTRA). Each call appends its name to the file named by LUMEN_TRACE. Act
// ends the run at once with fault code 0: a thrown lumen::Fault on Linux, RaiseException with
// code 0 and a null argument on Windows, as Lumen does there. Windows builds only: with
// FAKE_NONCONTINUABLE, Act raises fault 5000 as non-continuable, which cannot be resumed; with
// FAKE_OVERFLOW, a recursion without end, until the stack runs out; with FAKE_MARKER the
// library's start-up creates the file named by FAKE_MARKER_FILE, so that a test sees whether
// this copy was ever loaded. Every entry has one integer form, which serves AllocMem and FreeMem
// on x86-64 as well.
#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lumen/lumen.h"

namespace {

void note(const char* name) {
    if (const char* path = std::getenv("LUMEN_TRACE")) {
        if (FILE* f = std::fopen(path, "ab")) {
            std::fprintf(f, "%s\n", name);
            std::fclose(f);
        }
    }
}

#ifdef FAKE_OVERFLOW
// Each level keeps a buffer live across the next call, so that no level can be folded away;
// the end condition is one the stack never lets it reach.
volatile uint64_t bottom = ~uint64_t{0};
__attribute__((noinline)) uint64_t recurse(uint64_t depth) {
    volatile char frame[512];
    frame[depth % sizeof frame] = static_cast<char>(depth);
    if (depth == bottom) return 0;
    return recurse(depth + 1) + frame[(depth * 7) % sizeof frame];
}
#endif

// Ends the run from Act, the way the platform's Lumen does.
[[maybe_unused]] uint64_t endRun(uint64_t a) {
#ifdef FAKE_OVERFLOW
    return recurse(a);
#elif defined(_WIN32)
    const ULONG_PTR none[1] = {0};
#ifdef FAKE_NONCONTINUABLE
    RaiseException(5000, EXCEPTION_NONCONTINUABLE, 1, none);
#else
    RaiseException(0, 0, 1, none);
#endif
    (void)a;
    return 0;
#else
    (void)a;
    throw lumen::Fault{0, 0, 0};
#endif
}

uint64_t call(const char* name, uint64_t a) {
    note(name);
    if (std::strcmp(name, "AllocMem") == 0) return reinterpret_cast<uint64_t>(std::calloc(1, a));
    if (std::strcmp(name, "FreeMem") == 0) std::free(reinterpret_cast<void*>(a));
    if (std::strcmp(name, "Act") == 0) return endRun(a);
    return 0;
}

}  // namespace

#define FAKE_ENTRY(n, ...) \
    LUMEN_EXPORT uint64_t n(uint64_t a) { return call(#n, a); }
LUMEN_NAMES(FAKE_ENTRY)

#ifdef FAKE_EXTRA
LUMEN_EXPORT uint64_t ExtraName(uint64_t a) { return call("ExtraName", a); }
#endif

#if defined(_WIN32) && defined(FAKE_MARKER)
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        if (const char* path = std::getenv("FAKE_MARKER_FILE")) {
            if (FILE* f = std::fopen(path, "wb")) {
                std::fputs("loaded\n", f);
                std::fclose(f);
            }
        }
    }
    return TRUE;
}
#endif
