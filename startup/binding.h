// Binding of the runtime library: load "Data/Lumen.lmd" and look up its names, those of
// LUMEN_OPERATIONS in lumen/lumen.h.
#pragma once

#include <string>

#include "startup/platform.h"

namespace startup {

// The runtime library's module handle; null until loaded, kept for the release at exit.
extern platform::Library runtimeModule;

// Loads the library and binds every name in order; raises fault 3001 (null argument) when the
// library cannot be loaded or a name is missing. Cells bound before a failure keep their entry.
void bindRuntime();

// Why the last bindRuntime failed, for the diagnostic line; empty if it did not.
const std::string& bindFailure();

}  // namespace startup
