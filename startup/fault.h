// The program's side of the fault model: the fault location cell and raising a fault.
#pragma once

#include <cstdint>

#include "lumen/lumen.h"

namespace startup {

// Code address of the first fault not yet taken by the top-level handler; 0 means empty.
// Written only while empty. Lumen receives its address in the Init record.
extern uint64_t faultLocation;

// Writes `place` into the fault location if it is empty.
inline void noteFaultLocation(uint64_t place) {
    if (faultLocation == 0) faultLocation = place;
}

// Raises a fault from the caller's place: notes that place in the fault location (if empty),
// then raises `code` with its one argument.
[[noreturn]] void raiseFault(uint32_t code, uint64_t argument);

}  // namespace startup
