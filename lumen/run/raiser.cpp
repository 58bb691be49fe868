#include "run/raiser.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "os/os.h"
#include "run/text.h"
#include "lumen/lumen.h"

namespace lumen {

namespace {

// A real invalid memory access: the address comes through a volatile, so the store is made.
// Sanitizers would stop at it first; it is meant to reach the program's SIGSEGV handler.
__attribute__((noinline, no_sanitize("address", "undefined"))) void invalidAccess() {
    static volatile uintptr_t nowhere = 0;
    *reinterpret_cast<volatile int*>(nowhere) = 1;
}

// Runs out of stack: each level keeps a page live, so the calls cannot be folded into a loop.
// The flag is never cleared; it only keeps the compiler from proving the recursion endless.
volatile bool keepRecursing = true;
[[gnu::noinline]] int exhaustStack(int depth) {
    volatile char page[4096];
    page[0] = static_cast<char>(depth);
    if (!keepRecursing) return page[0];
    return exhaustStack(depth + 1) + page[0];
}

}  // namespace

void Raiser::raise(uint32_t code, std::string_view message, uint64_t address) {
    const std::u16string units = utf8ToUtf16(message);
    const auto length = static_cast<int64_t>(units.size());
    uint64_t id = 0;
    auto* text = static_cast<String*>(heap_.allocate(static_cast<uint64_t>(stringBytes(length)), id));
    if (text == nullptr) raiseNull(code, address);
    text->count = 1;
    text->length = length;
    std::memcpy(text->units, units.data(), units.size() * sizeof(char16_t));
    text->units[length] = 0;
    trace_.line("raise " + std::to_string(code) + " " + quote(message));
    os::raiseFault(code, reinterpret_cast<uintptr_t>(text), address);
}

void Raiser::raiseNull(uint32_t code, uint64_t address) {
    trace_.line("raise " + std::to_string(code) + " null");
    os::raiseFault(code, 0, address);
}

void Raiser::raisePlanted(const FaultPlan& plan, uint64_t address) {
    switch (plan.kind()) {
        case FaultPlan::Kind::BadAlloc: throw std::bad_alloc();
        case FaultPlan::Kind::Exception:
            throw std::runtime_error(plan.hasMessage() ? plan.message() : "planted");
        case FaultPlan::Kind::Fault: break;
    }
    if (plan.hasMessage()) raise(plan.code(), plan.message(), address);
    raiseNull(plan.code(), address);
}

void Raiser::raiseScripted(const ScriptCommand& cmd, uint64_t address) {
    if (cmd.op == ScriptOp::Crash) {
        trace_.line("crash");
        invalidAccess();
        raiseNull(kAccessViolation, address);  // only if the access did not fault
    }
    if (cmd.op == ScriptOp::Overflow) {
        trace_.line("overflow");
        exhaustStack(0);
        raiseNull(kStackOverflow, address);  // not reached
    }
    if (cmd.hasMessage) raise(cmd.code, cmd.message, address);
    raiseNull(cmd.code, address);
}

}  // namespace lumen
