// The 132 exported names of Data/Lumen.lmd. Each entry point first sets Lumen's floating-point
// mode (the guard gives the caller's mode back on return and on a fault), then brings up the
// process's one Session on first use: the program calls AllocMem before Init.
#include <exception>
#include <new>
#include <string>

#include "backend.h"
#include "core/os.h"
#include "core/fpguard.h"
#include "core/session.h"
#include "lumen/lumen.h"

namespace {

#if defined(_WIN32)
const lumen::Backend* windowBackend() { return &lumen::win32Backend(); }
#elif defined(LUMEN_HAVE_SDL)
const lumen::Backend* windowBackend() { return &lumen::sdlBackend(); }
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
        instance = new lumen::Session(lumen::Settings::fromEnvironment(), windowBackend());
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

// Runs an entry point's body under Lumen's floating-point mode. Only lumen::Fault leaves an
// entry point: anything else thrown inside Lumen becomes a fault that says what it was.
template <typename Body>
auto serve(const char* name, Body body) -> decltype(body()) {
    lumen::FpGuard guard;
    try {
        return body();
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

}  // namespace

LUMEN_EXPORT void Init(const lumen::InitRecord* record) {
    serve("Init", [&] { session().init(record); });
}

LUMEN_EXPORT void Free() {
    serve("Free", [&] { session().free(); });
}

LUMEN_EXPORT void Act() {
    serve("Act", [&] { session().act(); });
}

LUMEN_EXPORT void* AllocMem(int64_t bytes, const char16_t* tag) {
    return serve("AllocMem", [&] { return session().allocMem(bytes, tag); });
}

LUMEN_EXPORT void FreeMem(void* block) {
    serve("FreeMem", [&] { session().freeMem(block); });
}

LUMEN_EXPORT int64_t Mouse(int64_t button) {
    return serve("Mouse", [&] { return session().mouse(button); });
}

LUMEN_EXPORT double MouseX() {
    return serve("MouseX", [&] { return session().mouseX(); });
}

LUMEN_EXPORT double MouseY() {
    return serve("MouseY", [&] { return session().mouseY(); });
}

LUMEN_EXPORT int64_t Rnd(int64_t lo, int64_t hi) {
    return serve("Rnd", [&] { return session().rnd(lo, hi); });
}

LUMEN_EXPORT double RndF() {
    return serve("RndF", [&] { return session().rndF(); });
}

LUMEN_EXPORT void DrawRect(double x, double y, double w, double h, double r, double g, double b,
                           double a) {
    serve("DrawRect", [&] { session().drawRect(x, y, w, h, r, g, b, a); });
}

// The other 121 names: exported so that binding succeeds; each raises fault 1001. The list
// is LUMEN_NAMES less LUMEN_CALLED_NAMES, picked out by the preprocessor: LUMEN_CALLED_<name>
// expands to "~, 1," for a called name, so LUMEN_IS_CALLED(name) is 1 for those and 0 else.
#define LUMEN_CALLED_Init ~, 1,
#define LUMEN_CALLED_Free ~, 1,
#define LUMEN_CALLED_Act ~, 1,
#define LUMEN_CALLED_Rnd ~, 1,
#define LUMEN_CALLED_RndF ~, 1,
#define LUMEN_CALLED_AllocMem ~, 1,
#define LUMEN_CALLED_FreeMem ~, 1,
#define LUMEN_CALLED_DrawRect ~, 1,
#define LUMEN_CALLED_Mouse ~, 1,
#define LUMEN_CALLED_MouseX ~, 1,
#define LUMEN_CALLED_MouseY ~, 1,
#define LUMEN_SECOND(a, b, ...) b
#define LUMEN_SECOND_(...) LUMEN_SECOND(__VA_ARGS__)
#define LUMEN_IS_CALLED(name) LUMEN_SECOND_(LUMEN_CALLED_##name, 0, ~)
#define LUMEN_CAT_(a, b) a##b
#define LUMEN_CAT(a, b) LUMEN_CAT_(a, b)

#define LUMEN_UNSUPPORTED_1(name)
#define LUMEN_UNSUPPORTED_0(name)                               \
    LUMEN_EXPORT void name() {                                  \
        serve(#name, [] { session().unsupported(#name); });     \
    }
#define LUMEN_UNSUPPORTED(name) LUMEN_CAT(LUMEN_UNSUPPORTED_, LUMEN_IS_CALLED(name))(name)
LUMEN_NAMES(LUMEN_UNSUPPORTED)

namespace {
// The marks above must cover exactly the names the program calls.
#define LUMEN_COUNT_ONE(name) +1
#define LUMEN_COUNT_CALLED(name) +LUMEN_IS_CALLED(name)
static_assert((0 LUMEN_CALLED_NAMES(LUMEN_COUNT_CALLED)) == 11, "every called name is marked");
static_assert((0 LUMEN_NAMES(LUMEN_COUNT_CALLED)) == 11, "only called names are marked");
static_assert((0 LUMEN_NAMES(LUMEN_COUNT_ONE)) == 132, "132 names");
}  // namespace
