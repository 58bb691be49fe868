// Lumen's settings, one table: the environment variables, read once when Lumen first comes up,
// and the run's settings parsed from them in one step, each problem kept with the message Init
// raises.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pixels/blend.h"
#include "run/fault_plan.h"
#include "run/script.h"

// LUMEN_SETTINGS(PATH, VALUE) expands, one entry a setting, in the order their problems are
// reported:
//   PATH(member, Use, VARIABLE, option, values, unset, help) for a file the run reads or
//     writes (Use: Read or Written), used by its path as given;
//   VALUE(member, Type, VARIABLE, option, values, unset, help) for a value read as
//     setting::Type (below) into RunSettings::member.
// member: the Settings field that holds the text; VARIABLE: the environment variable; option:
// its command-line form (kept for the command line, which nothing reads yet); values: what it
// takes, as the docs and its "bad" message say it; unset: what holds without it; help: what it
// does, in one line. The environment's reading, the checks and their messages, and the table
// in docs/lumen.md derive from here. Adding a setting: one entry here and its use.
#define LUMEN_SETTINGS(PATH, VALUE)                                                               \
    PATH(trace, Written, "LUMEN_TRACE", "--trace FILE", "a path", "no trace",                     \
         "writes the call trace (below) to FILE")                                                 \
    PATH(script, Read, "LUMEN_SCRIPT", "--replay FILE", "a path",                                 \
         "the window's input; headless, the built-in demo",                                       \
         "plays the input script FILE (below); the run is headless")                              \
    VALUE(headless, Flag, "LUMEN_HEADLESS", "--headless", "1; any other value means nothing",     \
          "a window if one opens", "runs headless: no window")                                    \
    VALUE(seed, Unsigned, "LUMEN_SEED", "--seed N", "a decimal or 0x hex number below 2^64",      \
          "the script's seed line; else 1 headless, else the clock", "seed of the generator")     \
    VALUE(fps, Rate, "LUMEN_FPS", "--fps N", "frames per second, from 0.000001 to 1000000",       \
          "headless runs unpaced; a window is paced at 60",                                       \
          "paces a headless run at N frames per second, by sleeping")                             \
    PATH(capture, Written, "LUMEN_CAPTURE", "--picture FILE", "a path", "no picture",             \
         "writes the last frame presented before the run ends, as a PNG")                         \
    PATH(movie, Written, "LUMEN_MOVIE", "--movie FILE", "a path", "no movie",                     \
         "writes the run as an animated GIF: every fourth frame, at half size")                   \
    PATH(record, Written, "LUMEN_RECORD", "--record FILE", "a path", "no recording",              \
         "windowed runs only: writes the session's input as a script, seed first, that replays "  \
         "headless to the same frames")                                                           \
    VALUE(traceTime, Flag, "LUMEN_TRACE_TIME", "--trace-time", "1; any other value means nothing", \
          "Act lines without the time",                                                           \
          "each Act line of the trace carries the monotonic time of the call, "                   \
          "Act N t=SECONDS.NNNNNNNNN (for measuring frame intervals)")                            \
    VALUE(simd, SimdName, "LUMEN_SIMD", "--simd PATH", "scalar, sse2 or avx2",                    \
          "the widest the processor has", "the blend code the canvas uses")                       \
    VALUE(fault, PlantedFault, "LUMEN_FAULT", "--fault PLAN", "OP:N:CODE[:MESSAGE]",                 \
          "no fault planted", "a test hook: the N-th call of OP raises fault CODE (below)")

namespace lumen {

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

// The types of the VALUE settings: what each holds, its name in the docs, and how its text is
// read. read() is false for a bad text, whose problem is "Lumen: bad VARIABLE "TEXT" (FORM)";
// FORM is the setting's values, which read() may add to.
namespace setting {
struct Flag {  // "1" is on, any other text off
    using Value = bool;
    static constexpr const char* kTypeName = "flag";
    static bool read(const std::string& text, Value& value, std::string& form);
};
struct Unsigned {  // parseUnsigned: [0, 2^64)
    using Value = std::optional<uint64_t>;
    static constexpr const char* kTypeName = "number";
    static bool read(const std::string& text, Value& value, std::string& form);
};
struct Rate {  // parseFps: frames per second in [kMinFps, kMaxFps]
    using Value = std::optional<double>;
    static constexpr const char* kTypeName = "number";
    static bool read(const std::string& text, Value& value, std::string& form);
};
struct SimdName {  // never bad: a name that is no path is kept, and noted by simdPathFor
    using Value = SimdChoice;
    static constexpr const char* kTypeName = "name";
    static bool read(const std::string& text, Value& value, std::string& form);
};
struct PlantedFault {  // FaultPlan::parse; FORM adds the names OP takes. Unset or bad: no fault
    using Value = FaultPlan;
    static constexpr const char* kTypeName = "fault";
    static bool read(const std::string& text, Value& value, std::string& form);
};
}  // namespace setting

// What a file setting is to the run.
enum class FileUse { Read, Written };

// The variables as the environment gives them, one field a setting.
struct Settings {
#define LUMEN_SETTING_TEXT_(member, ...) std::optional<std::string> member;
    LUMEN_SETTINGS(LUMEN_SETTING_TEXT_, LUMEN_SETTING_TEXT_)
#undef LUMEN_SETTING_TEXT_

    // The settings from the process environment; unset and empty variables stay empty.
    static Settings fromEnvironment();
};

// A setting as the table gives it.
struct SettingInfo {
    const char* variable;  // "LUMEN_TRACE"
    const char* option;    // "--trace FILE"
    const char* type;      // as the docs name it: "file, written", "flag", "number", ...
    const char* values;
    const char* unset;
    const char* help;
    std::optional<std::string> Settings::*text;  // where Settings keeps it
    bool input;                                  // a file the run reads, which no output may name
};

inline constexpr SettingInfo kSettings[] = {
#define LUMEN_SETTING_PATH_(member, use, variable, option, values, unset, help)                   \
    {variable, option, FileUse::use == FileUse::Read ? "file, read" : "file, written", values,   \
     unset, help, &Settings::member, FileUse::use == FileUse::Read},
#define LUMEN_SETTING_VALUE_(member, Type, variable, option, values, unset, help)                 \
    {variable, option, setting::Type::kTypeName, values, unset, help, &Settings::member, false},
    LUMEN_SETTINGS(LUMEN_SETTING_PATH_, LUMEN_SETTING_VALUE_)
#undef LUMEN_SETTING_PATH_
#undef LUMEN_SETTING_VALUE_
};

// The entry of the setting Settings keeps in `text`: settingOf(&Settings::seed).
constexpr const SettingInfo& settingOf(std::optional<std::string> Settings::*text) {
    for (const SettingInfo& s : kSettings) {
        if (s.text == text) return s;
    }
    throw "not a setting";  // at compile time: an error
}

// The settings table as docs/lumen.md shows it: a Markdown table, a line a setting, each line
// ending in '\n'.
std::string settingsTableMarkdown();

// The settings of a run, parsed and checked.
struct RunSettings {
    Settings given;  // the texts as given: the files' paths are used as they are
#define LUMEN_SETTING_IGNORE_(...)
#define LUMEN_SETTING_VALUE_(member, Type, ...) setting::Type::Value member{};
    LUMEN_SETTINGS(LUMEN_SETTING_IGNORE_, LUMEN_SETTING_VALUE_)
#undef LUMEN_SETTING_IGNORE_
#undef LUMEN_SETTING_VALUE_
    std::optional<Script> script;  // LUMEN_SCRIPT read and parsed
    // The problems, in the order Init reports them (the first is raised): the table's, then the
    // script's. Two outputs naming one file (sameFileError, run/run_outputs.h) and opening the
    // trace, which the Session does, come before all.
    std::vector<std::string> errors;
};

// Parses `settings` (LUMEN_HEADLESS is also set by a script) and reads the script file; opens
// nothing.
RunSettings parseSettings(const Settings& settings);

// Writes an informational line to stderr, its control characters escaped (the seed of a window
// run, the headless note); every failure is raised as a fault instead.
void printNote(const std::string& line);
// The seed of a window run without LUMEN_SEED: the clock's, noted on stderr so that it can be
// replayed ("Lumen: seed N (LUMEN_SEED=N replays it)").
uint64_t clockSeed();

// LUMEN_FPS: a decimal number in [kMinFps, kMaxFps], the whole text; else nullopt.
std::optional<double> parseFps(const std::string& text);

}  // namespace lumen
