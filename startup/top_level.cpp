// Top-level fault handling: every fault that leaves start-up or the main routine ends here.
#include <cstdio>
#include <new>
#include <optional>

#include "lumen/utf.h"
#include "runtime/runtime.h"
#include "startup/binding.h"
#include "startup/fault.h"
#include "startup/fpmode.h"
#include "startup/platform.h"
#include "startup/startup.h"
#include "town/main_routine.h"

namespace startup {

namespace {

int exitStatus = 0;
// A run writes one diagnostic line, the first failure's: faults in the handling of it (the
// error record, Free) follow from it and would only repeat or obscure it.
bool lineWritten = false;

void writeDiagnostic(uint32_t code, const lumen::String* message, uint64_t location) {
    if (lineWritten) return;
    lineWritten = true;
    platform::writeErrorLine(diagnostic(code, message, location));
}

bool isOrderlyEnd(const lumen::Fault& f) { return f.code == lumen::kEndOfRun && f.argument == 0; }

// The reference to its message that a fault carries (codes below 0x80000000 only).
rt::Ref<lumen::String> takeMessage(const lumen::Fault& f) {
    if (f.code >= 0x80000000u || f.argument == 0) return {};
    return rt::Ref<lumen::String>::adopt(reinterpret_cast<lumen::String*>(f.argument));
}

// Drops a message reference; without a bound FreeMem it cannot go back and is left alone.
void dropMessage(rt::Ref<lumen::String>& message) {
    if (rt::freeMemCell) {
        message.reset();
    } else {
        message.take();
    }
}

const char* describeCode(uint32_t code) {
    switch (code) {
        case lumen::kAccessViolation: return "invalid memory access";
        case lumen::kFloatInvalid: return "floating-point invalid operation";
        case lumen::kIntDivideByZero: return "integer division by zero";
        case lumen::kIntOverflow: return "integer overflow";
        case lumen::kIllegalInstruction: return "illegal instruction";
        case lumen::kFloatDivideByZero: return "floating-point division by zero";
        case lumen::kFloatOverflow: return "floating-point overflow";
        case lumen::kFloatUnderflow: return "floating-point underflow";
        case lumen::kFloatInexact: return "floating-point inexact result";
        case lumen::kStackOverflow: return "stack overflow";
        default: return code >= 0x80000000u ? "processor fault" : "no message";
    }
}

// The exit status after `code`; a later fault never lowers an earlier one's (a bad setting
// stays 2 if Free then fails).
void noteExitStatus(uint32_t code, bool hasMessage) {
    const int status = lumen::exitStatusFor(code, hasMessage);
    if (status > exitStatus) exitStatus = status;
}

// Reports a fault whose record could not be made, from the fault itself.
void reportFault(const lumen::Fault& fault, const lumen::String* message, uint64_t location) {
    if (isOrderlyEnd(fault)) return;
    noteExitStatus(fault.code, message != nullptr);
    writeDiagnostic(fault.code, message, location);
}

// A fault out of shutdown, or the held fault raised again: noted, reported, and (for codes
// 1000 to 2147483647) raised once more into the outermost handler, which swallows it.
void catchOnceMore(const lumen::Fault& fault) {
    noteFaultLocation(fault.address);
    rt::Ref<lumen::String> message = takeMessage(fault);
    const uint64_t location = faultLocation;
    faultLocation = 0;
    reportFault(fault, message.get(), location);
    const auto signedCode = static_cast<int32_t>(fault.code);
    if (signedCode >= 1000) {
        try {
            platform::raiseFault(fault.code, fault.argument, fault.address);
        } catch (...) {
            // The outermost handler: catches everything.
        }
    }
    try {
        dropMessage(message);
    } catch (const lumen::Fault& late) {
        reportFault(late, nullptr, late.address);
    }
}

void handleTopLevel(const lumen::Fault& fault) {
    rt::Ref<lumen::String> message = takeMessage(fault);
    rt::Ref<ErrorObject> record;
    std::optional<lumen::Fault> held;
    bool recorded = false;
    try {
        noteFaultLocation(fault.address);
        if (rt::allocMemCell) {
            void* block = rt::allocMemCell(static_cast<int64_t>(sizeof(ErrorObject)), u"skip");
            auto* error = new (block) ErrorObject();
            error->refCount = 1;
            record = rt::Ref<ErrorObject>::adopt(error);
            record->code = fault.code;
            record->message = std::move(message);
            record->location = static_cast<int64_t>(faultLocation);
            faultLocation = 0;
            recorded = true;
            noteExitStatus(fault.code, record->message.get() != nullptr);
            errorHook(*record);
        }
    } catch (const lumen::Fault& inner) {
        held = inner;
    }
    if (!recorded) {
        const uint64_t location = faultLocation;
        faultLocation = 0;
        reportFault(fault, message.get(), location);
    }

    try {
        shutdown();
    } catch (const lumen::Fault& late) {
        catchOnceMore(late);
    }
    if (held) {
        try {
            platform::raiseFault(held->code, held->argument, held->address);
        } catch (const lumen::Fault& again) {
            catchOnceMore(again);
        }
    }
    // The record and its message go back only now, after Free.
    try {
        if (rt::freeMemCell) {
            record.reset();
        } else {
            record.take();
        }
        dropMessage(message);
    } catch (const lumen::Fault& late) {
        catchOnceMore(late);
    }
}

}  // namespace

std::string diagnostic(uint32_t code, const lumen::String* message, uint64_t location) {
    if (code == lumen::kBadSetting && message) {
        // A mistake in how the run was asked for, not a fault of the code: the message alone,
        // as the program's ("Stackrise: bad LUMEN_SEED ..."), without Lumen's own prefix.
        std::string line;
        lumen::appendUtf8(line, rt::view(message));
        constexpr std::string_view kLumenPrefix = "Lumen: ";
        if (line.rfind(kLumenPrefix, 0) == 0) line.erase(0, kLumenPrefix.size());
        std::string visible = "Stackrise: ";
        lumen::appendVisible(visible, line, false);  // one line of text on the terminal
        return visible;
    }
    char head[96];
    std::snprintf(head, sizeof head, "Stackrise: fault 0x%X (%u) at ", code, code);
    std::string line = head;
    if (location == 0) {
        line += "an unknown place";
    } else {
        char where[32];
        std::snprintf(where, sizeof where, "0x%llx", static_cast<unsigned long long>(location));
        line += where;
        const std::string module = platform::describeAddress(location);
        if (!module.empty()) line += " (" + module + ")";
    }
    line += ": ";
    if (message) {
        lumen::appendUtf8(line, rt::view(message));
    } else if (code == lumen::kRuntimeMissing && !bindFailure().empty()) {
        line += bindFailure();
    } else {
        line += describeCode(code);
    }
    // Paths and messages may hold anything: on the terminal the line is one line of text.
    std::string visible;
    lumen::appendVisible(visible, line, false);
    return visible;
}

void errorHook(const ErrorObject& error) {
    if (error.code == lumen::kEndOfRun && !error.message) return;
    writeDiagnostic(static_cast<uint32_t>(error.code), error.message.get(),
                    static_cast<uint64_t>(error.location));
}

namespace {

void startAndRun() {
    try {
        try {
            staticInit();
            configure(*appConfig);
            initRuntime();
            town::mainRoutine();
            shutdown();
        } catch (const lumen::Fault& fault) {
            handleTopLevel(fault);
        }
    } catch (...) {
        // Nothing but a failure of the handling itself (out of memory for a diagnostic) gets here.
        exitStatus = 1;
    }
}

// A fault that the platform could not deliver to startAndRun's catch.
void handleLostFault(const lumen::Fault& fault) {
    try {
        handleTopLevel(fault);
    } catch (...) {
        exitStatus = 1;
    }
}

}  // namespace

void runProcess() {
    setFloatingPointMode();
    platform::catchProcessorFaults(&faultLocation);
    platform::runUnderFaultHandler(startAndRun, handleLostFault);
    if (runtimeModule) platform::releaseLibrary(runtimeModule);
    platform::endProcess(exitStatus);
}

}  // namespace startup
