// Lumen's stop requests on POSIX (Linux and the web build): SIGINT, SIGTERM and SIGHUP ask the
// run to end, once (repeats within kSameStopWindow are the same request); a pipe wakes the
// pacer's sleep for them; SIGPIPE ignored. On the page the sleep lets the browser run, and the
// page's end request counts as a stop. Contract: lumen/os/os.h.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#if defined(__EMSCRIPTEN__)
#include <emscripten.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"

#if defined(__EMSCRIPTEN__)
// Pauses the module for `ms` while the browser runs (asyncify, the page's link: one of its
// imports that may pause); 0 at once where the module cannot pause (node).
EM_JS(int, lumen_web_pause, (double ms), {
    if (typeof Asyncify != 'object' || typeof window != 'object') return 0;
    return Asyncify.handleSleep(function(wakeUp) {
        setTimeout(function() {
            try {
                wakeUp(1);
            } catch (e) {
                if (!Module.onRunError) throw e;
                Module.onRunError(e);
            }
        }, ms);
    });
});

// Whether the page asked the run to end (window.stackrise.end()).
EM_JS(int, lumen_web_end_requested, (), { return Module.lumenCloseRequested ? 1 : 0; });
#endif

namespace lumen::os {

namespace {

std::atomic<bool> stopFlag{false};
std::atomic<int64_t> firstStopNs{0};  // steady ns of the first stop signal; 0 before it
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
static_assert(std::atomic<int64_t>::is_always_lock_free, "the signal handler needs a lock-free time");

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction savedStop[3];
bool watching = false;
int wakePipe[2] = {-1, -1};  // the handler writes a byte into [1]; sleepUntil waits on [0]
#if defined(__EMSCRIPTEN__)
constexpr double kHostTurnMs = 40.0;  // the longest the program holds the page at a time, ms
double lastHostTurnMs = 0.0;          // when the browser last ran, ms (emscripten_get_now)
#endif

int64_t steadyNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

void wakeSleeper() {
    if (wakePipe[1] < 0) return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);  // full: already awake
}

// The first stop signal asks the run to end. Deliveries within kSameStopWindow of it are the same
// request (`timeout` signals the run and then its process group); a later one has the system's
// effect, so that a run stuck before its next frame can still be stopped.
void onStopSignal(int sig) {
    const int savedErrno = errno;
    const int64_t now = steadyNs();
    int64_t first = 0;
    if (firstStopNs.compare_exchange_strong(first, now)) {
        stopFlag.store(true, std::memory_order_relaxed);
        wakeSleeper();
    } else if (now - first > std::chrono::nanoseconds(kSameStopWindow).count()) {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(sig, &fallback, nullptr);
        ::raise(sig);  // blocked until this handler returns, then the system's effect
    }
    errno = savedErrno;
}

}  // namespace

void requestStop() {
    stopFlag.store(true, std::memory_order_relaxed);
    wakeSleeper();
}

bool stopRequested() {
#if defined(__EMSCRIPTEN__)
    if (lumen_web_end_requested() != 0) stopFlag.store(true, std::memory_order_relaxed);
#endif
    return stopFlag.load(std::memory_order_relaxed);
}

#if defined(__EMSCRIPTEN__)
void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    for (;;) {
        if (stopRequested()) return;
        const double left = std::chrono::duration<double, std::milli>(deadline - Clock::now()).count();
        if (left <= 0.0) return;
        // In slices, so that an end asked for on the page is seen within one.
        if (!lumen_web_pause(std::min(left, kHostTurnMs))) {
            std::this_thread::sleep_until(deadline);  // node: nothing else runs meanwhile
            return;
        }
        lastHostTurnMs = emscripten_get_now();
    }
}

void yieldToHost() {
    const double now = emscripten_get_now();
    if (now - lastHostTurnMs < kHostTurnMs) return;
    lumen_web_pause(0.0);
    lastHostTurnMs = emscripten_get_now();
}
#else
void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    for (;;) {
        if (stopRequested()) return;
        const Clock::duration left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return;
        if (wakePipe[0] < 0) {
            std::this_thread::sleep_for(left);
            continue;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd wake{wakePipe[0], POLLIN, 0};
        ::ppoll(&wake, 1, &timeout, nullptr);  // a signal, the pipe or the time: look again
    }
}

void yieldToHost() {}
#endif

void watchStopRequests() {
    if (watching) return;
#if !defined(__EMSCRIPTEN__)
    if (wakePipe[0] < 0 && ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;
#endif
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) sigaction(kStopSignals[i], &action, &savedStop[i]);
    watching = true;
}

void unwatchStopRequests() {
    if (!watching) return;
    for (int i = 0; i < 3; ++i) sigaction(kStopSignals[i], &savedStop[i], nullptr);
    watching = false;
}

void ignoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

}  // namespace lumen::os
