#include "startup/startup.h"

namespace startup {
const uint64_t kBuildId = 0x0123456789ABCDEFull;
}  // namespace startup
