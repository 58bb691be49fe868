// The process-wide floating-point mode.
#pragma once

#include <cstdint>

namespace startup {

// MXCSR 0x7F00: round toward zero; invalid operation unmasked (it faults); denormal, divide by
// zero, overflow, underflow and inexact masked; no flush-to-zero, no denormals-are-zero.
constexpr uint32_t kFloatMode = 0x7F00;

// Sets kFloatMode for the calling thread.
void setFloatingPointMode();
// The calling thread's current floating-point control word (MXCSR), exception flags included.
uint32_t floatingPointMode();

}  // namespace startup
