// Lumen's settings: the environment variables, read once when Lumen first comes up, and the
// run's settings parsed from them in one step, each problem kept with the message Init raises.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pixels/blend.h"
#include "run/fault_plan.h"
#include "run/script.h"

namespace lumen {

// The variables as the environment gives them.
struct Settings {
    std::optional<std::string> trace;     // LUMEN_TRACE: call trace file
    std::optional<std::string> script;    // LUMEN_SCRIPT: input script file (headless)
    std::optional<std::string> seed;      // LUMEN_SEED: seed, decimal or 0x hex
    std::optional<std::string> headless;  // LUMEN_HEADLESS: "1" runs without a window
    std::optional<std::string> fps;       // LUMEN_FPS: frames per second of a headless run
    std::optional<std::string> capture;   // LUMEN_CAPTURE: PNG of the last presented frame
    std::optional<std::string> movie;     // LUMEN_MOVIE: animated GIF of the run
    std::optional<std::string> record;    // LUMEN_RECORD: script of a windowed session's input
    std::optional<std::string> fault;     // LUMEN_FAULT: OP:N:CODE[:MESSAGE], a planted fault
    std::optional<std::string> simd;      // LUMEN_SIMD: scalar, sse2 or avx2
    std::optional<std::string> traceTime; // LUMEN_TRACE_TIME: "1" puts the time on Act lines

    // The settings from the process environment; unset and empty variables stay empty.
    static Settings fromEnvironment();
};

// LUMEN_SIMD as asked: a path by name, nothing (the widest), or a name that is no path.
struct SimdChoice {
    std::optional<SimdPath> path;  // the path named
    std::string unknown;           // the text when it names no path; "" otherwise
};

// The blend path a canvas uses for `choice`: the path named if this processor has it, else the
// widest it has, with a note on stderr ("Lumen: LUMEN_SIMD=... using ...") when not as asked.
SimdPath simdPathFor(const SimdChoice& choice);

// A frame rate whose interval the pacer can hold: from one frame in 11.5 days to a million a
// second.
inline constexpr double kMinFps = 1e-6;  // frames per second
inline constexpr double kMaxFps = 1e6;   // frames per second

// The settings of a run, parsed and checked.
struct RunSettings {
    std::optional<std::string> tracePath;
    std::optional<std::string> scriptPath;
    std::optional<std::string> capturePath;
    std::optional<std::string> moviePath;
    std::optional<std::string> recordPath;
    bool headless = false;             // LUMEN_HEADLESS=1, or a script is given
    bool traceTime = false;            // LUMEN_TRACE_TIME=1: each Act line carries its time
    std::optional<uint64_t> seed;      // LUMEN_SEED, [0, 2^64)
    std::optional<double> fps;         // LUMEN_FPS, frames per second in [kMinFps, kMaxFps]
    SimdChoice simd;                   // LUMEN_SIMD
    FaultPlan fault;                   // LUMEN_FAULT; plants nothing when unset or bad
    std::optional<Script> script;      // LUMEN_SCRIPT read and parsed

    // Two settings name one file ("Lumen: A and B name the same file PATH"). It comes before
    // every other problem, and nothing else is parsed: no output may be opened.
    std::string sameFile;
    // The other problems, in the order Init reports them (the first is raised): seed, frame
    // rate, planted fault, script. Opening the trace, which the Session does, comes before all.
    std::vector<std::string> errors;
};

// Parses `settings`: reads the script file and checks that no output names an input or another
// output (streams excepted); opens nothing.
RunSettings parseSettings(const Settings& settings);

// Writes an informational line to stderr (the seed of a window run, the headless note); every
// failure is raised as a fault instead.
void printNote(const std::string& line);
// The seed of a window run without LUMEN_SEED: the clock's, noted on stderr so that it can be
// replayed ("Lumen: seed N (LUMEN_SEED=N replays it)").
uint64_t clockSeed();

// LUMEN_FPS: a decimal number in [kMinFps, kMaxFps], the whole text; else nullopt.
std::optional<double> parseFps(const std::string& text);

}  // namespace lumen
