// Lumen's operating-system layer on POSIX (Linux): files through open/rename/fsync, stop
// requests through SIGINT, SIGTERM and SIGHUP, SIGPIPE ignored, the standard descriptors kept
// on the null device. Contract: lumen/os/os.h.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__EMSCRIPTEN__)
#include <emscripten.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "os/os.h"
#include "lumen/lumen.h"

extern char** environ;

#if defined(__EMSCRIPTEN__)
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
#endif

namespace lumen::os {

namespace {

std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction savedStop[3];
bool watching = false;

void onStopSignal(int) { stopFlag.store(true, std::memory_order_relaxed); }

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

std::FILE* openForReading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

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

void requestStop() { stopFlag.store(true, std::memory_order_relaxed); }

bool stopRequested() { return stopFlag.load(std::memory_order_relaxed); }

void watchStopRequests() {
    if (watching) return;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // A second signal of the same kind, while the run has not come to its next frame, ends
    // the process the system's way: a stuck run can still be stopped.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
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
