#include "startup/fpmode.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#else
#error "the floating-point mode is set through MXCSR: x86-64 only"
#endif

namespace startup {

void setFloatingPointMode() { _mm_setcsr(kFloatMode); }

uint32_t floatingPointMode() { return _mm_getcsr(); }

}  // namespace startup
