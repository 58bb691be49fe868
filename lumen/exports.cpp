// The exported names of Data/Lumen.lmd, made from LUMEN_OPERATIONS in lumen.h. Each entry
// point first sets Lumen's floating-point mode (the guard gives the caller's mode back on
// return and on a fault), then brings up the process's one Session on first use: the program
// calls AllocMem before Init.
#include <exception>
#include <new>
#include <string>

#include "backends/backend.h"
#include "os/os.h"
#include "run/fpguard.h"
#include "run/session.h"
#include "lumen/lumen.h"

// lumen/CMakeLists.txt lists the names for the linker and the loaders (LUMEN_NAMES): the table's.
static_assert(LUMEN_LISTED_NAME_COUNT == lumen::kNameCount, "the build lists other names than lumen.h");

namespace {

#if defined(_WIN32)
const lumen::Backend* windowBackend() { return &lumen::win32Backend(); }
#elif defined(LUMEN_HAVE_SDL)
const lumen::Backend* windowBackend() { return &lumen::sdlBackend(); }
#elif defined(__EMSCRIPTEN__)
// The page's canvas; in node it does not open and the run is headless.
const lumen::Backend* windowBackend() { return &lumen::webBackend(); }
#else
// Built without a window backend: every run is headless.
const lumen::Backend* windowBackend() { return nullptr; }
#endif

lumen::Session* instance = nullptr;

lumen::Session& session() {
    // Lives until the library is unloaded: FreeMem may come after Free.
    if (instance == nullptr) {
        lumen::os::keepStandardDescriptors();
        lumen::os::ignoreBrokenPipes();
        instance = new lumen::Session(lumen::Settings::fromProcess(), windowBackend());
    }
    return *instance;
}

#if !defined(_WIN32)
// Unloading the library (dlclose, or the end of a process that exits normally) ends the
// session and gives back its memory: nothing can call into Lumen after that.
[[gnu::destructor]] void endSession() {
    delete instance;
    instance = nullptr;
}
#endif

// The exception being handled, as the fault that leaves an entry point: a lumen::Fault as it
// is, anything else thrown inside Lumen as a fault that says what it was. Out of line: every
// entry point shares this one copy.
[[noreturn, gnu::noinline]] void rethrowAsFault(const char* name) {
    try {
        throw;
    } catch (const lumen::Fault&) {
        throw;
    } catch (const std::bad_alloc&) {
        if (instance == nullptr)  // not even the session could be made
            throw lumen::Fault{lumen::kOutOfMemory, 0, reinterpret_cast<uintptr_t>(&session)};
        instance->raiseInternal(lumen::kOutOfMemory, std::string("Lumen: out of memory in ") + name);
    } catch (const std::exception& e) {
        if (instance == nullptr) throw lumen::Fault{lumen::kInternalError, 0, reinterpret_cast<uintptr_t>(&session)};
        instance->raiseInternal(lumen::kInternalError,
                                std::string("Lumen: internal error in ") + name + ": " + e.what());
    } catch (...) {
        if (instance == nullptr) throw lumen::Fault{lumen::kInternalError, 0, reinterpret_cast<uintptr_t>(&session)};
        instance->raiseInternal(lumen::kInternalError,
                                std::string("Lumen: internal error in ") + name + ": an unknown exception");
    }
}

// Runs an entry point's body under Lumen's floating-point mode. Only lumen::Fault leaves an
// entry point. Always inlined: the entry point is the function that catches (the web build
// lets only named functions catch, lumen/web.cmake).
template <typename Body>
[[gnu::always_inline]] inline auto serve(const char* name, Body body) -> decltype(body()) {
    lumen::FpGuard guard;
    try {
        return body();
    } catch (...) {
        rethrowAsFault(name);
    }
}

// The body of every entry point of a name the program never calls: one copy for them all.
[[gnu::noinline]] void serveUnsupported(const char* name) {
    serve(name, [name] { session().unsupported(name); });
}

}  // namespace

// The entry points, one per name of LUMEN_OPERATIONS: a called one forwards to the Session
// member serving it; every other name is exported so that binding succeeds and raises 1001.
#define LUMEN_SERVED(name, member, result, params, args) \
    LUMEN_EXPORT result name params {                    \
        return serve(#name, [&] { return session().member args; }); \
    }
#define LUMEN_UNSUPPORTED(name) \
    LUMEN_EXPORT void name() { serveUnsupported(#name); }
LUMEN_OPERATIONS(LUMEN_SERVED, LUMEN_UNSUPPORTED)
