// Raising Lumen's faults: each is traced ("raise CODE ...") before it leaves as lumen::Fault,
// its message a new String in Lumen's heap that the program frees.
#pragma once

#include <cstdint>
#include <string_view>

#include "run/fault_plan.h"
#include "run/heap.h"
#include "run/script.h"
#include "run/trace.h"

namespace lumen {

class Raiser {
public:
    Raiser(Heap& heap, Trace& trace) : heap_(heap), trace_(trace) {}

    // Traces "raise CODE "message"" and throws the fault with the message as a new String (a
    // null one, traced "raise CODE null", when the heap cannot hold it). `address` is the code
    // address the fault reports.
    [[noreturn]] void raise(uint32_t code, std::string_view message, uint64_t address);
    // Traces "raise CODE null" and throws the fault with a null argument.
    [[noreturn]] void raiseNull(uint32_t code, uint64_t address);
    // What `plan` plants: its fault, or the C++ exception of another kind it names.
    [[noreturn]] void raisePlanted(const FaultPlan& plan, uint64_t address);
    // A script's fault, crash or overflow command: its fault; for a crash "crash" traced and a
    // real invalid memory access, for an overflow "overflow" traced and the stack run out.
    [[noreturn]] void raiseScripted(const ScriptCommand& cmd, uint64_t address);

private:
    Heap& heap_;
    Trace& trace_;
};

}  // namespace lumen
