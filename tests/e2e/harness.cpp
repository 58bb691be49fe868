#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {

namespace fs = std::filesystem;

std::string tempDir(const std::string& name) {
    static std::atomic<int> serial{0};
    const fs::path dir = fs::temp_directory_path() /
                         ("stackrise-" + name + "-" + std::to_string(getpid()) + "-" + std::to_string(serial++));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Run run(const std::string& exe, const std::map<std::string, std::string>& env, const std::string& cwd,
        int timeoutSeconds) {
    RunOptions options;
    options.cwd = cwd;
    options.timeoutSeconds = timeoutSeconds;
    return run(exe, env, options);
}

Run run(const std::string& exe, const std::map<std::string, std::string>& env, const RunOptions& options) {
    const std::string& cwd = options.cwd;
    const std::string dir = tempDir("run");
    const std::string tracePath = dir + "/trace.txt";
    const std::string errPath = dir + "/stderr.txt";
    std::map<std::string, std::string> all = {{"PATH", "/usr/bin:/bin"}, {"HOME", dir}, {"LUMEN_TRACE", tracePath}};
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* v = std::getenv(keep)) all[keep] = v;
    }
    for (const auto& [k, v] : env) all[k] = v;
    std::vector<std::string> entries;
    for (const auto& [k, v] : all) entries.push_back(k + "=" + v);

    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> envp;
        for (auto& e : entries) envp.push_back(e.data());
        envp.push_back(nullptr);
        const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int nullFd = open("/dev/null", O_RDWR);
        dup2(nullFd, 0);
        dup2(nullFd, 1);
        dup2(errFd, 2);
        if (options.closeStderr) close(2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
        execve(exe.c_str(), argv, envp.data());
        _exit(127);
    }
    Run result;
    int wstatus = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(options.timeoutSeconds);
    bool signalled = options.signal == 0;
    for (;;) {
        const pid_t done = waitpid(child, &wstatus, WNOHANG);
        if (done == child) break;
        if (!signalled && std::chrono::steady_clock::now() >= start + std::chrono::milliseconds(options.signalAfterMs)) {
            kill(child, options.signal);
            signalled = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.err = readFile(errPath);
    std::istringstream lines(readFile(tracePath));
    for (std::string line; std::getline(lines, line);) result.trace.push_back(line);
    fs::remove_all(dir);
    return result;
}

Run runScript(const std::string& exe, const std::string& script, const std::string& seed,
              const std::map<std::string, std::string>& extraEnv) {
    const std::string dir = tempDir("script");
    const std::string path = dir + "/input.script";
    writeFile(path, script);
    std::map<std::string, std::string> env = {{"LUMEN_SCRIPT", path}, {"LUMEN_SEED", seed}};
    for (const auto& [k, v] : extraEnv) env[k] = v;
    Run r = run(exe, env);
    fs::remove_all(dir);
    return r;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

int find(const std::vector<std::string>& lines, const std::string& prefix, int from) {
    for (int i = from; i < static_cast<int>(lines.size()); ++i) {
        if (lines[static_cast<size_t>(i)].rfind(prefix, 0) == 0) return i;
    }
    return -1;
}

int count(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
    return n;
}

}  // namespace e2e
