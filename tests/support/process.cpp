#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace test_support {

Env childEnv(const std::string& home, const Env& extra) {
    Env all = {{"PATH", "/usr/bin:/bin"}};
    if (!home.empty()) all["HOME"] = home;
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* v = std::getenv(keep)) all[keep] = v;
    }
    for (const auto& [k, v] : extra) all[k] = v;
    return all;
}

pid_t spawn(const Command& command) {
    // Everything the child needs is made before the fork: it only calls async-signal-safe code.
    std::vector<char*> argv;
    for (const auto& a : command.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> entries;
    if (command.env) {
        for (const auto& [k, v] : *command.env) entries.push_back(std::string(k).append("=").append(v));
    }
    std::vector<char*> envp;
    for (auto& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t child = fork();
    if (child != 0) return child;
    const int nullFd = open("/dev/null", O_RDWR);
    const int errFd = command.errPath.empty() ? -1 : open(command.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int outFd = command.outPath.empty() ? -1 : open(command.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!command.keepStdio) {
        dup2(nullFd, 0);
        dup2(outFd >= 0 ? outFd : nullFd, 1);
    }
    dup2(errFd >= 0 ? errFd : nullFd, 2);
    if (command.closeStderr) close(2);
    if (!command.cwd.empty() && chdir(command.cwd.c_str()) != 0) _exit(126);
    if (command.env) execvpe(argv[0], argv.data(), envp.data());
    else execvp(argv[0], argv.data());
    _exit(127);
}

int statusOf(int waitStatus) {
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

Exit waitFor(pid_t pid, std::chrono::milliseconds limit, const WaitOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    bool signalled = options.signal == 0;
    int wstatus = 0;
    for (;;) {
        if (waitpid(pid, &wstatus, WNOHANG) == pid) return Exit{statusOf(wstatus), false};
        const auto now = std::chrono::steady_clock::now();
        if (!signalled && now >= start + options.signalAfter) {
            kill(pid, options.signal);
            signalled = true;
        }
        if (now > start + limit) {
            if (!options.killAtEnd) return Exit{-1, true};
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            return Exit{statusOf(wstatus), true};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string shellOutput(const std::string& command) {
    std::string out;
    if (FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

}  // namespace test_support
