// Whole frames of the real program (bin/stackrise of the build tree, with Data/Lumen.lmd).
//
// BM_HeadlessDemo: the built-in demo run headless and unpaced, from spawn to exit; the time is
// per frame (the run's time over its 1200 frames, start-up and shutdown included), the
// frames_per_s counter its inverse.
//
// BM_WindowFrames/<variant>: the real window on a private Xvfb: Lumen's choice of renderer (SDL's
// software one under Xvfb), GL forced (drawn by llvmpipe), software forced, and Lumen's choice
// with vsync asked for (SDL_RENDER_VSYNC=1). A few drags raise towers, then 3 s are
// measured: the time is the median interval between two presents (read from the preloaded
// present_clock library); counters: p99_ms, frames_per_s, and the CPU used by the program and
// by the X server over those 3 s (1.0 = one core busy).
//
// Run: frames_bench --benchmark_repetitions=5   (the median rows are the figures)
#include <benchmark/benchmark.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/xserver.h"

extern char** environ;

namespace {

const std::string kExe = STACKRISE_EXE;
const std::string kPresentClock = PRESENT_CLOCK_LIB;

double monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// User plus system CPU seconds of process `pid` so far.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0.0;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    double utime = 0;
    double stime = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14) utime = std::stod(f);
        if (i == 15) {
            stime = std::stod(f);
            break;
        }
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void BM_HeadlessDemo(benchmark::State& state) {
    constexpr double kFrames = 1200;  // the built-in demo's Acts (its last line: 1200 quit)
    char* argv[] = {const_cast<char*>(kExe.c_str()), nullptr};
    std::string path = "PATH=/usr/bin:/bin";
    std::string headless = "LUMEN_HEADLESS=1";
    char* envp[] = {path.data(), headless.data(), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        pid_t pid = 0;
        if (posix_spawn(&pid, kExe.c_str(), &quiet, nullptr, argv, envp) != 0) {
            state.SkipWithError("cannot start the program");
            break;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the demo did not end with status 0");
            break;
        }
        state.SetIterationTime(seconds / kFrames);
        state.counters["frames_per_s"] = kFrames / seconds;
    }
    posix_spawn_file_actions_destroy(&quiet);
}
BENCHMARK(BM_HeadlessDemo)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_WindowFrames(benchmark::State& state) {
    if (!wintest::haveXvfb()) {
        state.SkipWithError("Xvfb is not installed");
        return;
    }
    // 0: Lumen's choice; 1: GL forced; 2: SDL's software renderer forced; 3: Lumen's choice
    // with vsync asked for.
    const int64_t variant = state.range(0);
    static const char* const kLabels[] = {"Lumen's renderer", "GL renderer", "software renderer",
                                          "Lumen's renderer, vsync"};
    state.SetLabel(kLabels[variant]);
    for (auto _ : state) {
        wintest::XServer server;
        if (!server.ok()) {
            state.SkipWithError("Xvfb did not start");
            break;
        }
        char logTemplate[] = "/tmp/stackrise-frames-XXXXXX";
        const int fd = mkstemp(logTemplate);
        if (fd >= 0) close(fd);
        const std::string log = logTemplate;
        std::map<std::string, std::string> env = {{"DISPLAY", server.display()},
                                                  {"LUMEN_TRACE", ""},
                                                  {"LUMEN_SEED", "1"},
                                                  {"LD_PRELOAD", kPresentClock},
                                                  {"PRESENT_CLOCK_LOG", log}};
        if (variant == 1) env["SDL_RENDER_DRIVER"] = "opengl";
        if (variant == 2) env["SDL_RENDER_DRIVER"] = "software";
        if (variant == 3) env["SDL_RENDER_VSYNC"] = "1";
        wintest::Child child(kExe, env);
        std::string window;
        wintest::waitUntil([&] {
            window = server.xdotool("search --onlyvisible --name '^Stackrise$'");
            return !window.empty();
        });
        if (window.empty()) {
            state.SkipWithError("no window");
            break;
        }
        window.erase(window.find_last_not_of("\n") + 1);
        // Eight drags of 200 px, 50 ms apart: eight towers rising and standing.
        std::string drags;
        for (int i = 0; i < 8; ++i) {
            const int x = 100 + i * 180;
            drags += " mousemove --window " + window + " " + std::to_string(x) + " 700 mousedown 1 sleep 0.05"
                     " mousemove --window " + window + " " + std::to_string(x + 200) + " 700 sleep 0.05 mouseup 1 sleep 0.05";
        }
        server.xdotool(drags);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));

        const double t0 = monotonicNow();
        const double cpu0 = cpuSeconds(child.pid());
        const double x0 = cpuSeconds(server.pid());
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double t1 = monotonicNow();
        const double cpu1 = cpuSeconds(child.pid());
        const double x1 = cpuSeconds(server.pid());
        child.signal(SIGTERM);
        const int status = child.wait();

        std::ifstream in(log, std::ios::binary);
        std::vector<uint64_t> stamps;
        for (uint64_t ns; in.read(reinterpret_cast<char*>(&ns), sizeof ns);) {
            const double s = static_cast<double>(ns) * 1e-9;
            if (s >= t0 && s <= t1) stamps.push_back(ns);
        }
        std::remove(log.c_str());
        if (status != 0 || stamps.size() < 10) {
            state.SkipWithError("the windowed run failed");
            break;
        }
        std::vector<double> intervals;
        for (std::size_t i = 1; i < stamps.size(); ++i)
            intervals.push_back(static_cast<double>(stamps[i] - stamps[i - 1]) * 1e-9);
        std::sort(intervals.begin(), intervals.end());
        const double median = intervals[intervals.size() / 2];
        const double p99 = intervals[std::min(intervals.size() - 1, intervals.size() * 99 / 100)];
        state.SetIterationTime(median);
        state.counters["p99_ms"] = p99 * 1e3;
        state.counters["max_ms"] = intervals.back() * 1e3;
        state.counters["frames_per_s"] = static_cast<double>(intervals.size()) /
                                         (static_cast<double>(stamps.back() - stamps.front()) * 1e-9);
        state.counters["cpu_program"] = (cpu1 - cpu0) / (t1 - t0);
        state.counters["cpu_xserver"] = (x1 - x0) / (t1 - t0);
    }
}
BENCHMARK(BM_WindowFrames)->DenseRange(0, 3)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
