// One wrapper per runtime operation that the program calls, made from LUMEN_OPERATIONS (whose
// entries give each one's contract): rt::Act(), rt::Mouse(button), ... Each passes its
// arguments on unchanged and returns the operation's result; faults pass through untouched.
#pragma once

#include <cstdint>

#include "runtime/runtime.h"

namespace rt {

#define RT_OPERATION(name, member, result, params, args) \
    inline result name params { return op<Lumen##name##Fn>(Name::name) args; }
#define RT_NOT_CALLED(name)
LUMEN_OPERATIONS(RT_OPERATION, RT_NOT_CALLED)
#undef RT_OPERATION
#undef RT_NOT_CALLED

}  // namespace rt
