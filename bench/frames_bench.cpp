// Whole frames of the real program (bin/stackrise of the build tree, with Data/Lumen.lmd).
//
// BM_HeadlessDemo: the built-in demo run headless and unpaced, from spawn to exit; the time is
// per frame (the run's time over its 1200 frames, start-up and shutdown included), the
// frames_per_s counter its inverse.
//
// BM_WindowFrames/<variant>: the real window on a private Xvfb, 3 s measured, against its peer
// in the same run (window_peer: a plain SDL program at 60 Hz, software renderer, no GL):
//   0  29 towers standing, Lumen's choice of renderer     3  peer: clear and present only
//   1  29 towers standing, GL forced (drawn by llvmpipe)  4  peer: 30 moving rectangles
//   2  towers falling and rising, Lumen's choice
// The time is the median interval between two frames, read from the trace's Act times
// (LUMEN_TRACE_TIME=1; the peer writes its own); counters: p99_ms, frames_per_s, and the CPU of
// the program and of the X server over those 3 s (1.0 = one core busy). Each Lumen run checks
// by a screenshot that the window shows the canvas.
//
// Run: frames_bench --benchmark_repetitions=5   (the median rows are the figures)
#include <benchmark/benchmark.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/xserver.h"

extern char** environ;

namespace {

const std::string kExe = STACKRISE_EXE;
const std::string kPeer = WINDOW_PEER_EXE;

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

// The monotonic times of "... t=SECONDS" lines within [from, to].
std::vector<double> frameTimes(const std::vector<std::string>& lines, double from, double to) {
    std::vector<double> times;
    for (const std::string& line : lines) {
        const std::size_t at = line.find("t=");
        if (at == std::string::npos) continue;
        const double t = std::strtod(line.c_str() + at + 2, nullptr);
        if (t >= from && t <= to) times.push_back(t);
    }
    return times;
}

std::vector<std::string> fileLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// True when the window shows the canvas: a good share of the pixels has its background colour
// (a black or stale window has none).
bool showsCanvas(const wintest::XServer& server, const std::string& window) {
    wintest::XView view(server.display());
    if (!view.ok()) return false;
    const unsigned long id = std::stoul(window);
    const wintest::Geometry g = view.geometry(id);
    const std::vector<uint32_t> pixels = view.pixels(id, g.width, g.height);
    if (pixels.empty()) return false;
    std::size_t background = 0;
    for (const uint32_t p : pixels) background += (p & 0xFFFFFF) == 0x0B1328;
    return background * 10 >= pixels.size();
}

void BM_WindowFrames(benchmark::State& state) {
    if (!wintest::haveXvfb()) {
        state.SkipWithError("Xvfb is not installed");
        return;
    }
    const int64_t variant = state.range(0);
    static const char* const kLabels[] = {"29 towers standing", "29 towers standing, GL forced",
                                          "towers falling and rising", "peer: clear and present",
                                          "peer: 30 moving rectangles"};
    state.SetLabel(kLabels[variant]);
    const bool peer = variant >= 3;
    for (auto _ : state) {
        wintest::XServer server;
        if (!server.ok()) {
            state.SkipWithError("Xvfb did not start");
            break;
        }
        std::map<std::string, std::string> env = {{"DISPLAY", server.display()},
                                                  {"LUMEN_TRACE_TIME", "1"},
                                                  {"LUMEN_SEED", "1"}};
        if (variant == 1) env["SDL_RENDER_DRIVER"] = "opengl";
        std::unique_ptr<wintest::Child> child;
        std::string peerTimes;
        if (peer) {
            peerTimes = test_support::tempDir("window-peer") + "/times.txt";
            child = std::make_unique<wintest::Child>(kPeer, env,
                                                     std::vector<std::string>{variant == 3 ? "clear" : "rects", peerTimes});
        } else {
            child = std::make_unique<wintest::Child>(kExe, env);
        }
        const std::string title = peer ? "^Stackrise peer$" : "^Stackrise$";
        std::string window;
        wintest::waitUntil([&] {
            window = server.xdotool("search --onlyvisible --name '" + title + "'");
            return !window.empty();
        });
        if (window.empty()) {
            state.SkipWithError("no window");
            break;
        }
        window.erase(window.find_last_not_of("\n") + 1);
        const std::string on = " --window " + window + " ";
        // 29 drags of 110 px, 54 px apart: 29 towers rise and stand (a rise takes about 2 s).
        std::string drags;
        for (int i = 0; i < 29; ++i) {
            const int x = 10 + i * 54;
            drags += " mousemove" + on + std::to_string(x) + " 700 mousedown 1 sleep 0.03 mousemove" + on +
                     std::to_string(x + 110) + " 700 sleep 0.03 mouseup 1 sleep 0.03";
        }
        if (!peer) {
            server.xdotool(drags);
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        }
        // Variant 2: while measuring, towers are tipped over and raised again.
        std::thread churn;
        std::atomic<bool> measuring{true};
        if (variant == 2) {
            churn = std::thread([&] {
                for (int i = 0; measuring; i = (i + 7) % 29) {
                    const int x = 10 + i * 54 + 55;
                    server.xdotool("mousemove" + on + std::to_string(x) + " 895 click 3 sleep 0.1 mousemove" + on +
                                   std::to_string(x - 55) + " 700 mousedown 1 sleep 0.03 mousemove" + on +
                                   std::to_string(x + 55) + " 700 sleep 0.03 mouseup 1 sleep 0.1");
                }
            });
        }
        const double t0 = monotonicNow();
        const double cpu0 = cpuSeconds(child->pid());
        const double x0 = cpuSeconds(server.pid());
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double t1 = monotonicNow();
        const double cpu1 = cpuSeconds(child->pid());
        const double x1 = cpuSeconds(server.pid());
        measuring = false;
        if (churn.joinable()) churn.join();
        const bool shown = peer || showsCanvas(server, window);
        child->signal(SIGTERM);
        const int status = child->wait();
        const std::vector<double> stamps = frameTimes(peer ? fileLines(peerTimes) : child->trace(), t0, t1);
        if (peer) std::filesystem::remove_all(std::filesystem::path(peerTimes).parent_path());
        if (!shown) {
            state.SkipWithError("the window does not show the canvas");
            break;
        }
        if (status != 0 || stamps.size() < 10) {
            state.SkipWithError("the windowed run failed");
            break;
        }
        std::vector<double> intervals;
        for (std::size_t i = 1; i < stamps.size(); ++i) intervals.push_back(stamps[i] - stamps[i - 1]);
        std::sort(intervals.begin(), intervals.end());
        const double median = intervals[intervals.size() / 2];
        const double p99 = intervals[std::min(intervals.size() - 1, intervals.size() * 99 / 100)];
        state.SetIterationTime(median);
        state.counters["p99_ms"] = p99 * 1e3;
        state.counters["max_ms"] = intervals.back() * 1e3;
        state.counters["frames_per_s"] = static_cast<double>(intervals.size()) / (stamps.back() - stamps.front());
        state.counters["cpu_program"] = (cpu1 - cpu0) / (t1 - t0);
        state.counters["cpu_xserver"] = (x1 - x0) / (t1 - t0);
    }
}
BENCHMARK(BM_WindowFrames)->DenseRange(0, 4)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
