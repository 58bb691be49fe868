// A build that defines STACKRISE_SOFT_FLOAT gets the software Float.
#include <type_traits>

#include "runtime/float.h"

static_assert(std::is_same_v<rt::Float, rt::SoftFloat>, "STACKRISE_SOFT_FLOAT selects rt::SoftFloat");
