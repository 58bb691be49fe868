// Start-up and shutdown: the configuration object, the Init record, the top-level handling.
#pragma once

#include <cstdint>

#include "lumen/lumen.h"
#include "runtime/object.h"

namespace startup {

// The configuration object, one per process.
struct AppConfig : rt::Object {
    rt::Ref<lumen::String> title;  // window title handed to Init
};

// The one global reference to the configuration; empty until staticInit, again after shutdown.
extern rt::Ref<AppConfig> appConfig;

// The record the top-level handler builds from a caught fault (its memory tagged "skip").
struct ErrorObject : rt::Object {
    int64_t code;                    // the fault's code, 0 .. 4294967295
    rt::Ref<lumen::String> message;  // for codes below 0x80000000; empty otherwise
    int64_t location;                // the fault location when the fault was caught
};

// The build identifier: upper 32 bits the link time (s since 1970 UTC), lower 32 bits the
// first 32 bits of the source's commit id (0 outside a checkout).
extern const uint64_t kBuildId;

// Binds the runtime library, then creates AppConfig with the title "Velt".
void staticInit();
// The program's setting routine: the title becomes "Stackrise".
void configure(AppConfig& config);
// Hands the Init record (with a fresh copy of the title) to the runtime's Init.
void initRuntime();
// Reports a caught fault: one line on stderr unless it is the orderly end (code 0, no message).
void errorHook(const ErrorObject& error);
// Releases AppConfig, then calls the runtime's Free if it is bound.
void shutdown();
// The diagnostic line for a fault, one line of visible text (lumen::appendVisible); `message`
// may be null.
std::string diagnostic(uint32_t code, const lumen::String* message, uint64_t location);
// The process entry's body: start-up, the main routine and the top-level handling. Never
// returns: the process ends with lumen::exitStatusFor the first fault (0 after the orderly end,
// 2 after a bad setting, 1 after any other fault).
[[noreturn]] void runProcess();

}  // namespace startup
