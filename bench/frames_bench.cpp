// Whole frames of the real program (bin/stackrise of the build tree, with Data/Lumen.lmd).
//
// BM_HeadlessDemo: the built-in demo run headless and unpaced, from spawn to exit; the time is
// per frame (the run's time over its 1200 frames, start-up and shutdown included), the
// frames_per_s counter its inverse.
//
// BM_WindowFrames/<scene>/<screen>/<peer>: the real window on a private Xvfb of the screen's size
// under openbox, 3 s measured, against its peer in the same run (window_peer: a plain SDL program
// at 60 Hz, software renderer, no GL, drawing the same 29 towers every frame, at the same window
// size or fullscreen). Scenes: 29 towers standing; towers tipped over and raised again all the
// time. Screens: the 1600 x 900 window, 1920 x 1080 and 3840 x 2160 fullscreen (F11 for Lumen).
// The time is the median interval between two frames, read from the trace's Act times
// (LUMEN_TRACE_TIME=1; the peer writes its own); counters: p99_ms, frames_per_s, the CPU of the
// program and of the X server over those 3 s (1.0 = one core busy), first_frame_ms (exec to the
// canvas on the screen), rss_mb and, for Lumen, tips (right clicks seen). Each Lumen run checks
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

// Resident memory of process `pid`, bytes (VmRSS).
double residentBytes(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) * 1024;
    }
    return 0;
}

// The screens measured: the window at 1:1 on a 1920 x 1080 screen, and fullscreen on screens
// of 1920 x 1080 and 3840 x 2160.
struct Screen {
    int width, height;
    bool fullscreen;
    const char* label;
};
constexpr Screen kScreens[] = {{1920, 1080, false, "1600x900 window"},
                               {1920, 1080, true, "1920x1080 fullscreen"},
                               {3840, 2160, true, "3840x2160 fullscreen"}};

// One measured run of a window program on an Xvfb of the screen's size under openbox.
class WindowRun {
public:
    WindowRun(const Screen& screen, bool peer, bool moving) : screen_(screen), peer_(peer), server_(screen.width, screen.height) {
        if (!server_.ok()) return;
        openbox_ = std::make_unique<wintest::Child>("/usr/bin/openbox", std::map<std::string, std::string>{{"DISPLAY", server_.display()}});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // openbox takes the screen
        std::map<std::string, std::string> env = {{"DISPLAY", server_.display()}, {"LUMEN_TRACE_TIME", "1"}, {"LUMEN_SEED", "1"}};
        started_ = monotonicNow();
        if (peer) {
            times_ = test_support::tempDir("window-peer") + "/times.txt";
            std::vector<std::string> args{moving ? "moving" : "standing", times_};
            if (screen.fullscreen) args.push_back("full");
            child_ = std::make_unique<wintest::Child>(kPeer, env, args);
        } else {
            child_ = std::make_unique<wintest::Child>(kExe, env);
        }
        const std::string title = peer ? "^Stackrise peer$" : "^Stackrise$";
        wintest::waitUntil([&] {
            window_ = server_.xdotool("search --onlyvisible --name '" + title + "'");
            return !window_.empty();
        });
        if (window_.empty()) return;
        window_.erase(window_.find_last_not_of('\n') + 1);
        // Exec to the first frame shown: the canvas's sky on the screen.
        wintest::waitUntil([&] { return showsCanvas(server_, window_); }, wintest::Seconds(20));
        firstFrame_ = monotonicNow() - started_;
        if (screen.fullscreen && !peer) server_.xdotool("key --window " + window_ + " F11");
        ok_ = wintest::waitUntil([&] {
            wintest::XView view(server_.display());
            const wintest::Geometry g = view.geometry(std::stoul(window_));
            return !screen.fullscreen || (g.width == screen.width && g.height == screen.height);
        }, wintest::Seconds(10));
    }
    ~WindowRun() {
        if (!times_.empty()) std::filesystem::remove_all(std::filesystem::path(times_).parent_path());
    }
    bool ok() const { return ok_; }
    double firstFrame() const { return firstFrame_; }
    wintest::Child& child() { return *child_; }
    const wintest::XServer& server() const { return server_; }
    // xdotool's mouse arguments for canvas point (x, y): window px at the screen's scale.
    std::string at(int x, int y) const {
        const double scale = screen_.fullscreen ? screen_.width / 1600.0 : 1.0;
        return " mousemove --window " + window_ + " " + std::to_string(static_cast<int>(x * scale)) + " " +
               std::to_string(static_cast<int>(y * scale));
    }
    bool shown() const { return peer_ || showsCanvas(server_, window_); }
    std::vector<double> stamps(double from, double to) const {
        return frameTimes(peer_ ? fileLines(times_) : child_->trace(), from, to);
    }

private:
    Screen screen_;
    bool peer_;
    wintest::XServer server_;
    std::unique_ptr<wintest::Child> openbox_, child_;
    std::string window_, times_;
    double started_ = 0, firstFrame_ = 0;
    bool ok_ = false;
};

// BM_WindowFrames/<scene>/<screen>/<peer>: scene 0 = 29 towers standing, 1 = towers tipped over
// and raised again all through the measured time; screen as kScreens; peer 1 = window_peer
// drawing the same scene every frame.
void BM_WindowFrames(benchmark::State& state) {
    if (!wintest::haveXvfb() || access("/usr/bin/openbox", X_OK) != 0) {
        state.SkipWithError("Xvfb or openbox is not installed");
        return;
    }
    const bool moving = state.range(0) == 1;
    const Screen& screen = kScreens[state.range(1)];
    const bool peer = state.range(2) == 1;
    state.SetLabel(std::string(peer ? "peer, " : "") + (moving ? "towers moving, " : "29 towers standing, ") + screen.label);
    for (auto _ : state) {
        WindowRun run(screen, peer, moving);
        if (!run.ok()) {
            state.SkipWithError("no window, or not fullscreen");
            break;
        }
        if (!peer) {
            // 29 drags of 110 units, 54 apart: 29 towers rise and stand (a rise takes about 2 s).
            std::string drags;
            for (int i = 0; i < 29; ++i) {
                const int x = 10 + i * 54;
                drags += run.at(x, 700) + " mousedown 1 sleep 0.03" + run.at(x + 110, 700) + " sleep 0.03 mouseup 1 sleep 0.03";
            }
            run.server().xdotool(drags);
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        }
        // Towers moving: one tipped over and one raised again every 0.3 s or so, so that some
        // rise and some fall in view for the whole time.
        std::thread churn;
        std::atomic<bool> measuring{true};
        if (moving && !peer) {
            churn = std::thread([&] {
                for (int i = 0; measuring; i = (i + 7) % 29) {
                    const int x = 10 + i * 54 + 55;
                    run.server().xdotool(run.at(x, 895) + " click 3 sleep 0.1" + run.at(x - 55, 700) +
                                         " mousedown 1 sleep 0.03" + run.at(x + 55, 700) + " sleep 0.03 mouseup 1 sleep 0.1");
                }
            });
        }
        const pid_t pid = run.child().pid();
        const double t0 = monotonicNow();
        const double cpu0 = cpuSeconds(pid);
        const double x0 = cpuSeconds(run.server().pid());
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double t1 = monotonicNow();
        const double cpu1 = cpuSeconds(pid);
        const double x1 = cpuSeconds(run.server().pid());
        const double resident = residentBytes(pid);
        measuring = false;
        if (churn.joinable()) churn.join();
        const bool shown = run.shown();
        run.child().signal(SIGTERM);
        const int status = run.child().wait();
        const std::vector<double> stamps = run.stamps(t0, t1);
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
        state.counters["frames_per_s"] = static_cast<double>(intervals.size()) / (stamps.back() - stamps.front());
        state.counters["cpu_program"] = (cpu1 - cpu0) / (t1 - t0);
        state.counters["cpu_xserver"] = (x1 - x0) / (t1 - t0);
        state.counters["first_frame_ms"] = run.firstFrame() * 1e3;
        state.counters["rss_mb"] = resident / 1e6;
        if (!peer) {
            // Right clicks the program saw (Lumen's scene moved if its towers were tipped over).
            int tips = 0;
            for (const std::string& line : run.child().trace()) tips += line == "Mouse 1 -> 1";
            state.counters["tips"] = tips;
        }
    }
}
BENCHMARK(BM_WindowFrames)
    ->ArgsProduct({{0, 1}, {0, 1, 2}, {0, 1}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
