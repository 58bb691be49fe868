// The web build's table of Lumen's entry points (lumen/web.h), made from LUMEN_OPERATIONS: the
// same functions that exports.cpp defines, by name.
#include "lumen/web.h"

#define LUMEN_WEB_DECLARE_CALLED(name, member, result, params, args) LUMEN_EXPORT result name params;
#define LUMEN_WEB_DECLARE_OTHER(name) LUMEN_EXPORT void name();
LUMEN_OPERATIONS(LUMEN_WEB_DECLARE_CALLED, LUMEN_WEB_DECLARE_OTHER)
#undef LUMEN_WEB_DECLARE_CALLED
#undef LUMEN_WEB_DECLARE_OTHER

extern "C" {

const LumenWebExport lumenWebExports[] = {
#define LUMEN_WEB_ENTRY(name, ...) {#name, reinterpret_cast<void*>(&name)},
    LUMEN_NAMES(LUMEN_WEB_ENTRY)
#undef LUMEN_WEB_ENTRY
};

const int lumenWebExportCount = static_cast<int>(sizeof lumenWebExports / sizeof lumenWebExports[0]);

static_assert(sizeof lumenWebExports / sizeof lumenWebExports[0] == lumen::kNameCount,
              "one entry per exported name");
}
