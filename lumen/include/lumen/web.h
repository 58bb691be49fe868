// The web build's table of Lumen's entry points: Lumen is linked into the program's module there,
// and the platform layer finds each exported name of LUMEN_OPERATIONS in this table.
#pragma once

#include "lumen/lumen.h"

extern "C" {

// One exported name and its entry point.
struct LumenWebExport {
    const char* name;  // NUL-terminated ASCII, as in LUMEN_OPERATIONS
    void* entry;       // the entry point, never null
};

// Every exported name, in binding order: lumen::kNameCount entries.
extern const LumenWebExport lumenWebExports[];
// The number of entries of lumenWebExports: lumen::kNameCount.
extern const int lumenWebExportCount;
}
