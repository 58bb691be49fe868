// A stand-in runtime library for the binding tests. It exports the 132 names; a build may rename
// one away (compile definition NAME=NAME_omitted) and may add an extra name (FAKE_EXTRA). Each
// call appends its name to the file named by LUMEN_TRACE. Act ends the run at once (fault code
// 0). Every entry has one integer form, which serves AllocMem and FreeMem on x86-64 as well.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lumen/lumen.h"

namespace {

void note(const char* name) {
    if (const char* path = std::getenv("LUMEN_TRACE")) {
        if (FILE* f = std::fopen(path, "a")) {
            std::fprintf(f, "%s\n", name);
            std::fclose(f);
        }
    }
}

uint64_t call(const char* name, uint64_t a) {
    note(name);
    if (std::strcmp(name, "AllocMem") == 0) return reinterpret_cast<uint64_t>(std::calloc(1, a));
    if (std::strcmp(name, "FreeMem") == 0) std::free(reinterpret_cast<void*>(a));
    if (std::strcmp(name, "Act") == 0) throw lumen::Fault{0, 0, 0};
    return 0;
}

}  // namespace

#define FAKE_ENTRY(n, ...) \
    LUMEN_EXPORT uint64_t n(uint64_t a) { return call(#n, a); }
LUMEN_NAMES(FAKE_ENTRY)

#ifdef FAKE_EXTRA
LUMEN_EXPORT uint64_t ExtraName(uint64_t a) { return call("ExtraName", a); }
#endif
