// The floating-point guard of every Lumen entry point: Lumen runs under its own mode (round to
// nearest, every exception masked) and gives the caller back its mode, with the exception flags
// cleared, when the call returns or a fault unwinds out of it.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
#include <xmmintrin.h>
#define LUMEN_FP_MXCSR 1
#else
#include <cfenv>
#define LUMEN_FP_MXCSR 0
#endif

namespace lumen {

// Lumen's MXCSR: round to nearest, all six exceptions masked, flags clear.
constexpr uint32_t kLumenMxcsr = 0x1F80u;
// The MXCSR exception flag bits (IE DE ZE OE UE PE).
constexpr uint32_t kMxcsrFlags = 0x3Fu;

class FpGuard {
public:
    FpGuard() {
#if LUMEN_FP_MXCSR
        saved_ = _mm_getcsr();
        _mm_setcsr(kLumenMxcsr);
#else
        feholdexcept(&saved_);  // saves the mode, clears the flags, masks every exception
        fesetround(FE_TONEAREST);
#endif
    }
    ~FpGuard() {
#if LUMEN_FP_MXCSR
        _mm_setcsr(saved_ & ~kMxcsrFlags);
#else
        feclearexcept(FE_ALL_EXCEPT);
        fesetenv(&saved_);
        feclearexcept(FE_ALL_EXCEPT);
#endif
    }
    FpGuard(const FpGuard&) = delete;
    FpGuard& operator=(const FpGuard&) = delete;

private:
#if LUMEN_FP_MXCSR
    uint32_t saved_;
#else
    std::fenv_t saved_;
#endif
};

}  // namespace lumen
