// Runs the real program as a child process and collects what it leaves behind: exit status,
// standard error, and Lumen's call trace.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/trace.h"

namespace e2e {

struct Run {
    int status = -1;               // exit status, or 128 + signal number
    std::string err;               // everything written to standard error
    std::string out;               // everything written to standard output
    std::vector<std::string> trace;  // lines of LUMEN_TRACE, if one was asked for
};

using test_support::count;
using test_support::find;
using test_support::lines;
using test_support::readFile;
using test_support::tempDir;
using test_support::writeFile;

// How a child is started and stopped, beyond its environment.
struct RunOptions {
    std::string cwd;             // working directory ("" keeps ours)
    int timeoutSeconds = 60;     // then SIGKILL
    int signal = 0;              // sent once, `signalAfterMs` after the start (0: none)
    int signalAfterMs = 0;
    bool closeStderr = false;    // start with descriptor 2 closed (stderr then reads "")
    std::vector<std::string> args;  // the program's arguments
    bool trace = true;           // LUMEN_TRACE into a temporary file (env may still name another)
    std::vector<std::string> through;  // a command the program runs under (setpriv ...), its path last
    std::string redirections;    // the shell's (">> log.txt 2>> err.log"): the program runs by /bin/sh
    std::function<void()> meanwhile;  // called once, `meanwhileAfterMs` after the start
    int meanwhileAfterMs = 0;
};

// Runs `exe` (with options.args, else no arguments) in `cwd` with `env` added to a minimal environment (PATH, HOME),
// plus LUMEN_TRACE pointing into a temporary file whose lines are returned. Kills the child
// after `timeoutSeconds`.
Run run(const std::string& exe, const std::map<std::string, std::string>& env, const std::string& cwd = "",
        int timeoutSeconds = 60);
Run run(const std::string& exe, const std::map<std::string, std::string>& env, const RunOptions& options);

// Runs the program with a script (written to a temporary file) and a seed.
Run runScript(const std::string& exe, const std::string& script, const std::string& seed = "1",
              const std::map<std::string, std::string>& extraEnv = {});

// The function of the Linux program `exe` that holds the code place "stackrise+0xOFFSET" named
// in a diagnostic line, as addr2line names it; "" if the line names no such place.
std::string functionAt(const std::string& exe, const std::string& diagnosticLine);

}  // namespace e2e
