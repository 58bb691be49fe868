// The floating-point guard: Lumen's mode inside, the caller's mode (flags cleared) after a
// return and after a fault.
#include <gtest/gtest.h>

#include <xmmintrin.h>

#include <cmath>
#include <stdexcept>

#include "run/fpguard.h"
#include "support/fp_mode.h"

namespace {

constexpr uint32_t kProgramMode = 0x7F00;  // toward zero, invalid-operation trap unmasked
constexpr uint32_t kTowardZeroMasked = 0x7F80;

using test_support::underMxcsr;

[[gnu::noinline]] void guardedThrow() {
    lumen::FpGuard guard;
    volatile double zero = 0.0;
    volatile double q = zero / zero;  // sets the invalid flag under Lumen's masked mode
    (void)q;
    throw std::runtime_error("out");
}

}  // namespace

TEST(FpGuard, LumenModeInsideCallerModeAfter) {
    uint32_t inside = 0;
    const uint32_t after = underMxcsr(kTowardZeroMasked, [&] {
        lumen::FpGuard guard;
        inside = _mm_getcsr();
    });
    EXPECT_EQ(inside, lumen::kLumenMxcsr);
    EXPECT_EQ(after, kTowardZeroMasked);
}

TEST(FpGuard, InvalidOperationsInsideDoNotTrapAndLeaveNoFlags) {
    // Under the program's mode a NaN-to-integer conversion would raise SIGFPE; inside the
    // guard it must not, and the flag it sets must not leak out.
    const uint32_t after = underMxcsr(kProgramMode, [] {
        lumen::FpGuard guard;
        volatile double nan = std::nan("");
        volatile long long i = static_cast<long long>(nan);
        volatile double big = 1e308;
        volatile double inf = big * 10.0;  // overflow and inexact
        (void)i;
        (void)inf;
    });
    EXPECT_EQ(after, kProgramMode);
}

TEST(FpGuard, RoundsToNearestInside) {
    double inside = 0.0, outside = 0.0;
    volatile double one = 1.0, ten = 10.0;
    underMxcsr(kTowardZeroMasked, [&] {
        outside = one / ten;
        lumen::FpGuard guard;
        inside = one / ten;
    });
    EXPECT_EQ(inside, 0.1);                             // nearest rounds 1/10 up
    EXPECT_EQ(outside, std::nextafter(0.1, 0.0));       // toward zero: one ulp below
}

TEST(FpGuard, RestoresOnAnException) {
    bool caught = false;
    const uint32_t after = underMxcsr(0x5F80 | 0x3F, [&] {  // round up, flags already set
        try {
            guardedThrow();
        } catch (const std::runtime_error&) {
            caught = true;
        }
    });
    EXPECT_TRUE(caught);
    EXPECT_EQ(after, 0x5F80u);  // the caller's mode, its flags cleared
}
