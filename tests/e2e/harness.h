// Runs the real program as a child process and collects what it leaves behind: exit status,
// standard error, and Lumen's call trace.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace e2e {

struct Run {
    int status = -1;               // exit status, or 128 + signal number
    std::string err;               // everything written to standard error
    std::vector<std::string> trace;  // lines of LUMEN_TRACE, if one was asked for
};

// A fresh, empty directory under the system's temporary directory.
std::string tempDir(const std::string& name);
// Writes `text` to `path`.
void writeFile(const std::string& path, const std::string& text);
// The whole file, or "" if it cannot be read.
std::string readFile(const std::string& path);

// How a child is started and stopped, beyond its environment.
struct RunOptions {
    std::string cwd;             // working directory ("" keeps ours)
    int timeoutSeconds = 60;     // then SIGKILL
    int signal = 0;              // sent once, `signalAfterMs` after the start (0: none)
    int signalAfterMs = 0;
    bool closeStderr = false;    // start with descriptor 2 closed (stderr then reads "")
};

// Runs `exe` (no arguments) in `cwd` with `env` added to a minimal environment (PATH, HOME),
// plus LUMEN_TRACE pointing into a temporary file whose lines are returned. Kills the child
// after `timeoutSeconds`.
Run run(const std::string& exe, const std::map<std::string, std::string>& env, const std::string& cwd = "",
        int timeoutSeconds = 60);
Run run(const std::string& exe, const std::map<std::string, std::string>& env, const RunOptions& options);

// Runs the program with a script (written to a temporary file) and a seed.
Run runScript(const std::string& exe, const std::string& script, const std::string& seed = "1",
              const std::map<std::string, std::string>& extraEnv = {});

// The lines of `text` (split at '\n'; a last newline ends the last line, no empty line after it).
std::vector<std::string> lines(const std::string& text);

// Index of the first trace line starting with `prefix` at or after `from`, or -1.
int find(const std::vector<std::string>& lines, const std::string& prefix, int from = 0);
// Number of trace lines starting with `prefix`.
int count(const std::vector<std::string>& lines, const std::string& prefix);

}  // namespace e2e
