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
// its command-line form, "--name" and a placeholder for its value (none for a flag), which wins
// over the variable; values: what it takes, as the docs and its "bad" message say it; unset:
// what holds without it; help: what it does, in one line. The environment's reading, the
// options, --help, the checks and their messages, and the table in docs/lumen.md derive from
// here. Adding a setting: one entry here and its use.
#define LUMEN_SETTINGS(PATH, VALUE)                                                               \
    PATH(trace, Written, "LUMEN_TRACE", "--trace FILE", "a path", "no trace",                     \
         "writes the call trace to FILE: a line for each call into Lumen")                        \
    PATH(script, Read, "LUMEN_SCRIPT", "--replay FILE", "a path",                                 \
         "the window's input; headless, the built-in demo",                                       \
         "plays the input script FILE (a recording, say); the run is headless")                   \
    VALUE(headless, Flag, "LUMEN_HEADLESS", "--headless", kFlagValues,                            \
          "a window if one opens", "runs headless: no window")                                    \
    VALUE(fullscreen, Flag, "LUMEN_FULLSCREEN", "--fullscreen", kFlagValues, "a window",          \
          "opens the window fullscreen (F11 switches back); not on the page")                     \
    VALUE(seed, Unsigned, "LUMEN_SEED", "--seed N", "a decimal or 0x hex number below 2^64",      \
          "the script's seed line; else 1 headless, else the clock", "seed of the generator")     \
    VALUE(fps, Rate, "LUMEN_FPS", "--fps N", "frames per second, from 0.000001 to 1000000",       \
          "headless runs unpaced; a window is paced at 60",                                       \
          "paces a headless run at N frames per second, by sleeping")                             \
    PATH(capture, Written, "LUMEN_CAPTURE", "--picture FILE", "a path; a picture or movie extension only .png", \
         "no picture", "writes the last frame presented before the run ends, as a PNG")           \
    PATH(movie, Written, "LUMEN_MOVIE", "--movie FILE", "a path; a picture or movie extension only .gif",   \
         "no movie", "writes the run as an animated GIF: every fourth frame, at half size")       \
    PATH(record, Written, "LUMEN_RECORD", "--record FILE", "a path", "no recording",              \
         "windowed runs only: writes the session's input as a script, seed first, that --replay " \
         "plays to the same frames")                                                              \
    VALUE(traceTime, Flag, "LUMEN_TRACE_TIME", "--trace-time", kFlagValues,                       \
          "Act lines without the time",                                                           \
          "each Act line of the trace carries the monotonic time of the call, "                   \
          "Act N t=SECONDS.NNNNNNNNN (for measuring frame intervals)")                            \
    VALUE(simd, SimdName, "LUMEN_SIMD", "--simd PATH", "scalar, sse2 or avx2",                    \
          "the widest the processor has",                                                         \
          "the blend code the canvas uses (the widest it has if it lacks PATH)")                  \
    VALUE(fault, PlantedFault, "LUMEN_FAULT", "--fault PLAN", "OP:N:CODE[:MESSAGE]",              \
          "no fault planted", "a test hook: the N-th call of OP raises fault CODE")

namespace lumen {

// What a yes/no setting takes, in any case of letters.
inline constexpr const char* kFlagValues = "1, yes or true; 0, no or false";

// LUMEN_SIMD as asked: a path by name, nothing (the widest), or a name that is no path.
struct SimdChoice {
    std::optional<SimdPath> path;  // the path named; none: the widest
};

// The blend path a canvas uses for `choice`: the path named if this processor has it, else the
// widest it has, with a note on stderr ("Lumen: LUMEN_SIMD=avx2 is not supported here, using
// sse2") when it lacks the path named.
SimdPath simdPathFor(const SimdChoice& choice);

// A frame rate whose interval the pacer can hold: from one frame in 11.5 days to a million a
// second.
inline constexpr double kMinFps = 1e-6;  // frames per second
inline constexpr double kMaxFps = 1e6;   // frames per second

// The types of the VALUE settings: what each holds, its name in the docs, and how its text is
// read. read() is false for a bad text, whose problem is "Lumen: bad VARIABLE "TEXT" (FORM)";
// FORM is the setting's values, which read() may add to.
namespace setting {
struct Flag {  // kFlagValues, in any case of letters; any other text is bad
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
struct SimdName {  // a name of kSimdPaths
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

struct SettingInfo;

// The settings as the environment and the command line give them, one field a setting.
struct Settings {
#define LUMEN_SETTING_TEXT_(member, ...) std::optional<std::string> member;
    LUMEN_SETTINGS(LUMEN_SETTING_TEXT_, LUMEN_SETTING_TEXT_)
#undef LUMEN_SETTING_TEXT_
    bool help = false;     // --help: the usage text, and nothing played
    bool version = false;  // --version: the name, the version and the build, and nothing played
    // Mistakes in how the run was asked for, before any value is looked at: unknown options and
    // variables, missing values (run/command_line.h). The first is raised by Init.
    std::vector<std::string> problems;
    std::vector<std::string> fromOptions;  // the variables an option set, which messages name by it

    // The settings from the process environment; unset and empty variables stay empty.
    static Settings fromEnvironment();
    // The environment's, then the command line's over them (os::commandLine), with the
    // variables named LUMEN_ that are no setting as problems.
    static Settings fromProcess();
    // How a message names `setting`: its option if an option set it, else its variable.
    std::string nameOf(const SettingInfo& setting) const;
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

// The option of `setting` without its placeholder: "--trace".
std::string optionName(const SettingInfo& setting);
// Whether the option of `setting` takes a value ("--trace FILE"), or is a flag ("--headless").
bool optionTakesValue(const SettingInfo& setting);

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
// The seed of a window run without LUMEN_SEED: the clock's, noted on stderr with what replays
// a run ("Lumen: seed N; to play a run again, record it with --record FILE ...").
uint64_t clockSeed();

// LUMEN_FPS: a decimal number in [kMinFps, kMaxFps], the whole text; else nullopt.
std::optional<double> parseFps(const std::string& text);

}  // namespace lumen
