// Lumen's operating-system layer on POSIX (Linux): files through open/rename/fsync, stop
// requests through SIGINT, SIGTERM and SIGHUP (a pipe wakes the pacer's sleep for them),
// SIGPIPE ignored, the standard descriptors kept on the null device. Contract: lumen/os/os.h.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "os/os.h"
#include "lumen/lumen.h"

#if defined(__EMSCRIPTEN__)
#include <emscripten.h>

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

// Whether the module runs on a page (1), not in node (0).
EM_JS(int, lumen_web_on_page, (), { return typeof window == 'object' && typeof document == 'object' ? 1 : 0; });

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

// The folder part of `path` ("." for a bare name) and its last part.
void splitPath(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder = ".";
        name = path;
    } else {
        folder = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

// Where a link at `path` finally points, so that writing replaces the file and not the link.
std::string resolveLinks(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec)) return path;
    const std::filesystem::path target = std::filesystem::canonical(path, ec);
    return ec ? path : target.string();
}

}  // namespace

std::optional<std::string> environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::FILE* openForReading(const std::string& path, std::string& error) {
#if defined(__EMSCRIPTEN__)
    struct stat st {};
    if (lumen_web_on_page() != 0 && ::stat(path.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))) {
        error = "it is a device, which the page does not read";
        return nullptr;
    }
#endif
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) error = errorText(errno != 0 ? errno : ENOENT);
    return file;
}

PathKind pathKind(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return PathKind::Missing;
    if (S_ISREG(st.st_mode)) return PathKind::Regular;
    if (S_ISDIR(st.st_mode)) return PathKind::Directory;
    return PathKind::Stream;
}

std::FILE* createTempBeside(const std::string& path, std::string& tempPath, std::string& error) {
    const std::string target = resolveLinks(path);
    std::string folder;
    std::string name;
    splitPath(target, folder, name);
    if (name.empty() || name == "." || name == "..") {
        error = "not a file name";
        return nullptr;
    }
    // A hidden name in the same folder, unique by process, time and attempt; O_EXCL never
    // opens anything that is already there.
    const auto tick = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = (folder == "/" ? "" : folder) + "/." + name + "." +
                                      std::to_string(::getpid()) + "-" +
                                      std::to_string((tick + attempt * 7919u) % 1000000007u) + ".tmp";
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            error = errorText(errno);
            return nullptr;
        }
        std::FILE* file = ::fdopen(fd, "wb");
        if (file == nullptr) {
            error = errorText(errno);
            ::close(fd);
            ::unlink(candidate.c_str());
            return nullptr;
        }
        tempPath = candidate;
        return file;
    }
    error = "no free name for a temporary file";
    return nullptr;
}

std::string writeAll(std::FILE* out, const uint8_t* bytes, std::size_t size) {
    if (std::fflush(out) != 0) return errorText(errno);
    const int fd = ::fileno(out);
    for (std::size_t at = 0; at < size;) {
        const ssize_t n = ::write(fd, bytes + at, size - at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errorText(errno);
        if (n == 0) return errorText(ENOSPC);
        at += static_cast<std::size_t>(n);
    }
    return "";
}

void preferLargePages(void* memory, std::size_t bytes) {
#if defined(MADV_HUGEPAGE) && !defined(__EMSCRIPTEN__)
    ::madvise(memory, bytes, MADV_HUGEPAGE);  // refused (old kernel, no large pages): no matter
#else
    (void)memory;
    (void)bytes;
#endif
}

bool syncFile(std::FILE* file, std::string& error) {
    if (std::fflush(file) != 0) {
        error = errorText(errno);
        return false;
    }
    if (::fsync(::fileno(file)) != 0 && errno != EINVAL && errno != EROFS) {
        error = errorText(errno);
        return false;
    }
    return true;
}

bool replaceFile(const std::string& tempPath, const std::string& path, std::string& error) {
    if (::rename(tempPath.c_str(), resolveLinks(path).c_str()) != 0) {
        error = errorText(errno);
        return false;
    }
    return true;
}

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

std::FILE* openForWriting(const std::string& path, bool append, std::string& error) {
    const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | (append ? O_APPEND : 0);
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        error = errorText(errno);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, append ? "ab" : "wb");
    if (file == nullptr) {
        error = errorText(errno);
        ::close(fd);
    }
    return file;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    std::error_code ea;
    std::error_code eb;
    const auto ca = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ea), ea);
    const auto cb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, eb), eb);
    if (ea || eb) return a == b;
    return ca == cb;
}

std::string errorText(int error) { return std::strerror(error); }

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

void keepStandardDescriptors() {
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

void raiseFault(uint32_t code, uint64_t argument, uint64_t address) {
    throw Fault{code, argument, address};
}

bool iconHasPlatformForm(const void* icon) {
    const auto* file = static_cast<const IconFile*>(icon);
    return file == nullptr || (file->magic == kIconMagic && file->data != nullptr && file->size != 0);
}

}  // namespace lumen::os
