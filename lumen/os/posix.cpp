// Lumen's operating-system layer on POSIX (Linux): files through open/rename/fsync (links
// followed one at a time, descriptors named through /dev/fd kept as the shell opened them), stop
// requests through SIGINT, SIGTERM and SIGHUP (a pipe wakes the pacer's sleep for them),
// SIGPIPE ignored, the standard descriptors kept on the null device. Contract: lumen/os/os.h.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__EMSCRIPTEN__)
#include <emscripten.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

#include "os/os.h"
#include "os/temp_name.h"
#include "lumen/lumen.h"

extern char** environ;

#if defined(__EMSCRIPTEN__)
// "FOLDER\nSCRIPT" into `buffer`: the program's folder (with its '/'; on the page its folder in
// the in-memory file system), where Data/Lumen.lmd is, and in node the program's script.
EM_JS(int, lumen_web_program, (char* buffer, int size), {
    var folder = typeof Module.stackriseFolder == 'string' ? Module.stackriseFolder : scriptDirectory;
    var script = typeof process == 'object' && process.argv && process.argv[1] ? process.argv[1] : "";
    return stringToUTF8(folder + '\n' + script, buffer, size);
});
// Node's arguments after the script (process.argv[2] on); none on the page.
EM_JS(int, lumen_os_arg_count, (), {
    return typeof process === "object" && process.argv ? Math.max(0, process.argv.length - 2) : 0;
});
EM_JS(int, lumen_os_arg_length, (int i), { return lengthBytesUTF8(process.argv[i + 2]); });
EM_JS(void, lumen_os_arg, (int i, char* buffer, int size), { stringToUTF8(process.argv[i + 2], buffer, size); });
// A file of the in-memory file system as a download, on the page only.
EM_JS(void, lumen_os_download, (const char* path, const char* name), {
    if (typeof document !== "object") return;
    var bytes = FS.readFile(UTF8ToString(path));
    var url = URL.createObjectURL(new Blob([bytes], {type: "image/png"}));
    var link = document.createElement("a");
    link.href = url;
    link.download = UTF8ToString(name);
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(function() { URL.revokeObjectURL(url); }, 10000);
});

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

// The descriptor that `name` in folder `realFolder` (free of links) is, when the folder is this
// process's /proc/PID/fd (or one of its threads'); -1 otherwise. /proc/self says which PID is
// this process's, also where the process's own number is not the host's (node).
int descriptorIn(const std::string& realFolder, const std::string& name) {
    if (name.empty() || name.size() > 9 || name.find_first_not_of("0123456789") != std::string::npos) return -1;
    char real[PATH_MAX];
    if (::realpath("/proc/self", real) == nullptr) return -1;
    const std::string self = real;
    const bool ours = realFolder == self + "/fd" ||
                      (realFolder.rfind(self + "/task/", 0) == 0 && realFolder.size() > 3 &&
                       realFolder.compare(realFolder.size() - 3, 3, "/fd") == 0);
    return ours ? std::atoi(name.c_str()) : -1;
}

// Follows the links of `path` one at a time to their end: a path that is no link (which need
// not exist), or a descriptor of this process (/dev/stdout, /dev/fd/N, /proc/self/fd/N), which
// goes to `descriptor`. False with the reason for a loop.
bool linkEnd(const std::string& path, std::string& file, int& descriptor, std::string& error) {
    std::string at = path;
    descriptor = -1;
    for (int hop = 0; hop <= 40; ++hop) {
        std::string folder;
        std::string name;
        splitPath(at, folder, name);
        char real[PATH_MAX];
        if (::realpath(folder.c_str(), real) != nullptr) {
            descriptor = descriptorIn(real, name);
        } else if (errno == ELOOP) {
            break;
        }
        char target[PATH_MAX];
        const ssize_t n = descriptor >= 0 ? -1 : ::readlink(at.c_str(), target, sizeof target - 1);
        if (n <= 0) {  // a descriptor, or no link (or nothing) there: the end
            file = at;
            return true;
        }
        const std::string next(target, static_cast<std::size_t>(n));
        at = next[0] == '/' ? next : (folder == "/" ? "" : folder) + "/" + next;
    }
    error = errorText(ELOOP);
    return false;
}

// The reason a new file cannot be made in `folder`, naming it.
std::string folderError(const std::string& folder, int error) {
    return "cannot create a file in folder " + folder + ": " + errorText(error);
}

// Removes the temporaries of output `name` in `folder` whose process is gone and which no
// process holds locked (one of another host or namespace, which this one cannot see, is).
void removeStaleTemps(const std::string& folder, const std::string& name) {
#if !defined(__EMSCRIPTEN__)  // the web build's processes are not known to it
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        uint64_t pid = 0;
        if (!isTempOf(entry->d_name, name, pid) || pid == static_cast<uint64_t>(::getpid()) || pid > INT_MAX ||
            ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        const int fd = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
        ::close(fd);
    }
    ::closedir(dir);
#else
    (void)folder;
    (void)name;
#endif
}

// Why `file` (a regular file, `st`) in `folder` (`dir`) could not be replaced by a rename, or "".
std::string unreplaceable(const std::string& file, const struct stat& st, const struct stat& dir,
                          const std::string& folder) {
    const uid_t me = ::geteuid();
    if ((dir.st_mode & S_ISVTX) != 0 && me != 0 && st.st_uid != me && dir.st_uid != me)
        return "it belongs to another user in sticky folder " + folder + ", where only its owner may replace it";
#if defined(STATX_ATTR_MOUNT_ROOT) && !defined(__EMSCRIPTEN__)
    // A file bound onto the path (a container's single-file mount) is the root of a mount.
    struct statx sx {};
    if (::statx(AT_FDCWD, file.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) == 0 &&
        (sx.stx_attributes_mask & sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0)
        return "it is mounted on its own, and a mounted file cannot be replaced";
#else
    (void)file;
#endif
    return "";
}

}  // namespace

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
    std::string file;
    std::string error;
    int descriptor = -1;
    if (linkEnd(path, file, descriptor, error) && descriptor >= 0) return PathKind::Stream;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return PathKind::Missing;
    if (S_ISREG(st.st_mode)) return PathKind::Regular;
    if (S_ISDIR(st.st_mode)) return PathKind::Directory;
    return PathKind::Stream;
}

bool followLinks(const std::string& path, std::string& file, std::string& error) {
    int descriptor = -1;
    return linkEnd(path, file, descriptor, error);
}

std::FILE* createTempBeside(const std::string& file, std::string& tempPath, std::string& error) {
    std::string folder;
    std::string name;
    splitPath(file, folder, name);
    if (name.empty() || name == "." || name == "..") {
        error = "not a file name";
        return nullptr;
    }
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) {
        error = folderError(folder, S_ISDIR(dir.st_mode) || dir.st_mode == 0 ? errno : ENOTDIR);
        return nullptr;
    }
    struct stat old {};
    const bool replacing = ::lstat(file.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    if (replacing && !(error = unreplaceable(file, old, dir, folder)).empty()) return nullptr;
    removeStaleTemps(folder, name);
    // A hidden name in the same folder, unique by process, time and attempt; O_EXCL never
    // opens anything that is already there. A temporary that is to replace a file starts
    // private and takes that file's owner and mode before anything is written.
    const auto tick = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = (folder == "/" ? "" : folder) + "/" +
                                      tempName(name, static_cast<uint64_t>(::getpid()),
                                               (tick + attempt * 7919u) % 1000000007u);
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, replacing ? 0600 : 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            error = folderError(folder, errno);
            return nullptr;
        }
        // Held while it is written: a run elsewhere does not take it for a stale one.
        ::flock(fd, LOCK_EX | LOCK_NB);
        if (replacing) {
            // The owner where it may be given away (root), else the group; else it stays ours.
            if (::fchown(fd, old.st_uid, old.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0)
                errno = 0;
            if (::fchmod(fd, old.st_mode & 07777) != 0) errno = 0;
        }
        std::FILE* stream = ::fdopen(fd, "wb");
        if (stream == nullptr) {
            error = errorText(errno);
            ::close(fd);
            ::unlink(candidate.c_str());
            return nullptr;
        }
        tempPath = candidate;
        return stream;
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

bool replaceFile(const std::string& tempPath, const std::string& file, std::string& error) {
    if (::rename(tempPath.c_str(), file.c_str()) != 0) {
        error = errorText(errno);
        return false;
    }
    return true;
}

std::string keepTemp(const std::string& tempPath) {
    std::string folder;
    std::string name;
    splitPath(tempPath, folder, name);
    const std::string kept = (folder == "/" ? "" : folder) + "/" + keptName(name);
    struct stat st {};
    if (::lstat(kept.c_str(), &st) != 0 && errno == ENOENT && ::rename(tempPath.c_str(), kept.c_str()) == 0)
        return kept;
    return tempPath;
}

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

std::FILE* openForWriting(const std::string& path, bool append, std::string& error) {
    std::string end;
    int descriptor = -1;
    if (!append && linkEnd(path, end, descriptor, error) && descriptor >= 0) {
        // The shell's own open file, shared: its offset and its appending stay as it set them.
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY) {
            error = "descriptor " + std::to_string(descriptor) + (flags == -1 ? " is not open" : " is open only for reading");
            return nullptr;
        }
        int copy = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
        // Where a descriptor cannot be shared (node's files), the same file opened at its end.
        if (copy < 0) copy = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC);
        std::FILE* stream = copy < 0 ? nullptr : ::fdopen(copy, "wb");  // "wb" neither truncates nor changes its flags
        if (stream == nullptr) {
            error = errorText(errno);
            if (copy >= 0) ::close(copy);
        }
        return stream;
    }
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

std::vector<OwnFile> ownFiles() {
    std::vector<OwnFile> files;
#if defined(__EMSCRIPTEN__)
    char text[8192];
    const std::string program(text, static_cast<std::size_t>(std::max(0, lumen_web_program(text, sizeof text))));
    const std::size_t cut = program.find('\n');
    files.push_back({"Lumen's library", program.substr(0, cut) + "Data/Lumen.lmd"});
    const std::string script = cut == std::string::npos ? "" : program.substr(cut + 1);
    if (!script.empty()) files.push_back({"the program", script});
    if (script.size() > 3 && script.compare(script.size() - 3, 3, ".js") == 0)
        files.push_back({"the program", script.substr(0, script.size() - 3) + ".wasm"});
#else
    static const char inLumen = 0;
    Dl_info info {};
    if (::dladdr(&inLumen, &info) != 0 && info.dli_fname != nullptr && info.dli_fname[0] != '\0')
        files.push_back({"Lumen's library", info.dli_fname});
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
    if (n > 0 && n < static_cast<ssize_t>(sizeof exe)) files.push_back({"the program", std::string(exe, static_cast<std::size_t>(n))});
#endif
    return files;
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

std::vector<std::string> commandLine() {
    std::vector<std::string> args;
#if defined(__EMSCRIPTEN__)
    const int count = lumen_os_arg_count();
    for (int i = 0; i < count; ++i) {
        std::string arg(static_cast<std::size_t>(lumen_os_arg_length(i)) + 1, '\0');
        lumen_os_arg(i, arg.data(), static_cast<int>(arg.size()));
        arg.pop_back();
        args.push_back(std::move(arg));
    }
#else
    // The arguments as the program got them, NUL-separated, the program's name first.
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = all.find('\0');
    while (at != std::string::npos && at + 1 < all.size()) {
        const std::size_t end = all.find('\0', at + 1);
        args.push_back(all.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1));
        at = end;
    }
#endif
    return args;
}

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::vector<std::string> environmentNames() {
    std::vector<std::string> names;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const char* equals = std::strchr(*e, '=');
        names.emplace_back(*e, equals != nullptr ? static_cast<std::size_t>(equals - *e) : std::strlen(*e));
    }
    return names;
}

void printOut(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

#if !defined(__EMSCRIPTEN__)
namespace {

std::string environmentText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool isFolder(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_directory(path, ec);
}

// XDG_PICTURES_DIR of user-dirs.dirs: a line XDG_PICTURES_DIR="$HOME/Pictures" or an absolute
// path in quotes; "" when the file has none.
std::string userDirsPictures(const std::string& home) {
    std::string config = environmentText("XDG_CONFIG_HOME");
    if (config.empty() || config[0] != '/') config = home + "/.config";
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    std::string found;
    while (std::getline(in, line)) {
        const std::string key = "XDG_PICTURES_DIR=\"";
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
        const std::size_t end = line.rfind('"');
        if (end <= start + key.size() - 1) continue;
        std::string value = line.substr(start + key.size(), end - start - key.size());
        if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
        if (!value.empty() && value[0] == '/') found = value;
    }
    return found;
}

}  // namespace
#endif

std::string picturesFolder(std::string& error) {
#if defined(__EMSCRIPTEN__)
    (void)error;
    return "/";
#else
    const std::string home = environmentText("HOME");
    for (const std::string& candidate :
         {environmentText("XDG_PICTURES_DIR"), home.empty() ? std::string() : userDirsPictures(home),
          home.empty() ? std::string() : home + "/Pictures", home}) {
        if (isFolder(candidate)) return candidate;
    }
    error = home.empty() ? "HOME is not set" : "the home folder " + home + " is not a folder";
    return "";
#endif
}

void offerDownload(const std::string& path, const std::string& name) {
#if defined(__EMSCRIPTEN__)
    lumen_os_download(path.c_str(), name.c_str());
#else
    (void)path;
    (void)name;
#endif
}

std::string localTimeStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H-%M-%S", &local);
    return text;
}

bool iconHasPlatformForm(const void* icon) {
    const auto* file = static_cast<const IconFile*>(icon);
    return file == nullptr || (file->magic == kIconMagic && file->data != nullptr && file->size != 0);
}

}  // namespace lumen::os
