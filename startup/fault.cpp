#include "startup/fault.h"

#include "startup/platform.h"

namespace startup {

uint64_t faultLocation = 0;

__attribute__((noinline)) void raiseFault(uint32_t code, uint64_t argument) {
    // The return address minus one lies inside the caller's call instruction, so it names the
    // raising routine even when the call is that routine's last instruction.
    const uint64_t place = reinterpret_cast<uint64_t>(__builtin_return_address(0)) - 1;
    noteFaultLocation(place);
    platform::raiseFault(code, argument, place);
}

}  // namespace startup
