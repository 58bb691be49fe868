// Lumen's settings: the environment variables, read once when Lumen first comes up.
#pragma once

#include <optional>
#include <string>

namespace lumen {

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

    // The settings from the process environment; unset and empty variables stay empty.
    static Settings fromEnvironment();
};

}  // namespace lumen
