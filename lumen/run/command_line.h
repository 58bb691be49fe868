// Lumen's command line: the program reads none, so Lumen reads the process's arguments as it
// reads its settings. Every option is a setting's (the option column of LUMEN_SETTINGS), plus
// --help and --version; the texts of both are made here, from the same tables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/settings.h"

namespace lumen {

// Applies `args` (the arguments after the program's name) over `settings`: "--name VALUE" or
// "--name=VALUE" sets the setting of that option, the option winning over its variable; a flag
// ("--headless") is set to "1", or to the VALUE of "--headless=VALUE"; an empty VALUE unsets,
// as an empty variable does. "-h" and "--help" set help, "--version" version. An unknown
// option, a missing value or an argument that is no option goes to settings.problems, once each,
// in order.
void applyCommandLine(const std::vector<std::string>& args, Settings& settings);

// Adds a problem to `settings` for each of `names` (the environment's variables) that starts
// with LUMEN_ and is no setting, naming the nearest setting: "Lumen: unknown setting
// LUMEN_CAPTUR (did you mean LUMEN_CAPTURE?)".
void checkVariableNames(const std::vector<std::string>& names, Settings& settings);

// The setting variable nearest to `name` by edit distance (the first of the table's order on a
// tie).
const char* nearestVariable(const std::string& name);

// The --help text for the program titled `title` ("Stackrise"): what it is, how to play, every
// option and its variable, the keys, where outputs go, the exit statuses; lines of at most 80
// columns, each ending in '\n'.
std::string usageText(const std::string& title);
// The --version text: "Stackrise 0.1 (build 0x..., Lumen for Linux x86-64)\n".
std::string versionText(const std::string& title, uint64_t buildId);
// The line a window run starts with: how to play and how to end.
std::string playLine(const std::string& title);
// The program's command name for `title`: "stackrise" (lower case), "stackrise.exe" on Windows.
std::string commandName(const std::string& title);
// `path` as one word of a command line: as it is when it needs no quoting, else quoted for the
// system's shell ('...' on POSIX, "..." on Windows).
std::string shellWord(const std::string& path);

}  // namespace lumen
