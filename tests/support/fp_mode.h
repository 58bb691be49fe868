// Running test code under a given floating-point mode (the C rounding mode, or all of MXCSR on
// x86-64) and giving the caller's mode back afterwards, also when the code throws.
#pragma once

#include <xmmintrin.h>

#include <cfenv>
#include <cstdint>

#include "support/no_copy.h"

namespace test_support {

constexpr uint32_t kRoundingBits = 0x6000;     // MXCSR's rounding control; all set: toward zero
constexpr uint32_t kProgramMxcsr = 0x7F00;     // the program's mode: toward zero, invalid trapped

// Sets the C rounding mode to `mode` (FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO) for
// its lifetime (or leaves it, with no argument); the mode found at the start is back when it goes.
class RoundingScope : NoCopy {
public:
    RoundingScope() : saved_(std::fegetround()) {}
    explicit RoundingScope(int mode) : saved_(std::fegetround()) { std::fesetround(mode); }
    ~RoundingScope() { std::fesetround(saved_); }

private:
    int saved_;
};

// Sets MXCSR to `mode` for its lifetime (or leaves it, with no argument); the MXCSR found at the
// start is back when it goes.
class MxcsrScope : NoCopy {
public:
    MxcsrScope() : saved_(_mm_getcsr()) {}
    explicit MxcsrScope(uint32_t mode) : saved_(_mm_getcsr()) { _mm_setcsr(mode); }
    ~MxcsrScope() { _mm_setcsr(saved_); }
    uint32_t saved() const { return saved_; }

private:
    uint32_t saved_;
};

// Runs `body` with MXCSR set to `mode`; returns MXCSR as `body` left it. The caller's is back
// before anything else runs.
template <class Body>
uint32_t underMxcsr(uint32_t mode, Body body) {
    MxcsrScope scope(mode);
    body();
    return _mm_getcsr();
}

// Calls `body` out of line, so that arithmetic written in it stays between the mode changes
// around the call: the compilers do not keep floating-point operations in place around a change
// of MXCSR, and may move them out of an inlined body.
template <class Body>
[[gnu::noinline]] void callOutOfLine(Body& body) {
    body();
}

// Runs `body` with the caller's MXCSR but rounding toward zero (exceptions stay as they are).
template <class Body>
void towardZero(Body body) {
    MxcsrScope scope((_mm_getcsr() & ~kRoundingBits) | kRoundingBits);
    callOutOfLine(body);
}

}  // namespace test_support
