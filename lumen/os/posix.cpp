// Lumen's operating-system layer on POSIX (Linux and the web build): files through
// open/rename/fsync (links followed one at a time, descriptors named through /dev/fd kept as the
// shell opened them), the standard descriptors kept on the null device, faults, large pages.
// posix_stop.cpp has the stop requests and the pacer's sleep, posix_user.cpp the command line,
// the environment, standard output, the pictures folder and the time. Contract: lumen/os/os.h.
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

#if defined(__EMSCRIPTEN__)
// "FOLDER\nSCRIPT" into `buffer`: the program's folder (with its '/'; on the page its folder in
// the in-memory file system), where Data/Lumen.lmd is, and in node the program's script.
EM_JS(int, lumen_web_program, (char* buffer, int size), {
    var folder = typeof Module.stackriseFolder == 'string' ? Module.stackriseFolder : scriptDirectory;
    var script = typeof process == 'object' && process.argv && process.argv[1] ? process.argv[1] : "";
    return stringToUTF8(folder + '\n' + script, buffer, size);
});

// Whether the module runs on a page (1), not in node (0).
EM_JS(int, lumen_web_on_page, (), { return typeof window == 'object' && typeof document == 'object' ? 1 : 0; });

#endif

namespace lumen::os {

namespace {

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
