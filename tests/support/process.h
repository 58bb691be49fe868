// Starting a child process with its environment, output and working folder, and waiting for it
// with a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

using Env = std::map<std::string, std::string>;

// The environment a test gives the real program: PATH (/usr/bin:/bin), HOME (`home`, left out
// if ""), the sanitizers' options of our own environment, then `extra` over those.
Env childEnv(const std::string& home, const Env& extra = {});

struct Command {
    std::vector<std::string> argv;  // argv[0] is the program: a path, or a name searched on PATH
    std::optional<Env> env;         // the whole environment; none: ours
    std::string cwd;                // working folder ("" keeps ours)
    std::string errPath;            // standard error into this file ("": /dev/null)
    std::string outPath;            // standard output into this file ("": /dev/null)
    bool closeStderr = false;       // start with descriptor 2 closed
    bool keepStdio = false;         // standard input and output ours, not /dev/null
};

// Starts `command`; its pid (the child ends with status 127 if it cannot run the program, 126
// if it cannot enter `cwd`).
pid_t spawn(const Command& command);

// An exit status as the shell shows it: the exit code, or 128 + the signal number.
int statusOf(int waitStatus);

struct WaitOptions {
    bool killAtEnd = true;                 // SIGKILL at the limit (else it is left running)
    int signal = 0;                        // sent once, `signalAfter` after the wait began (0: none)
    std::chrono::milliseconds signalAfter{0};
};
struct Exit {
    int status = -1;        // statusOf the child's end; 137 when killed at the limit; -1 if left running
    bool timedOut = false;  // the limit passed first
};
// Waits for `pid` at most `limit`, polling every 2 ms.
Exit waitFor(pid_t pid, std::chrono::milliseconds limit, const WaitOptions& options = {});

// Runs `command` with /bin/sh; its standard output (standard error is dropped).
std::string shellOutput(const std::string& command);

}  // namespace test_support
