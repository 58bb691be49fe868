// Lumen's operating-system layer on Windows (with win32_user.cpp: the command line, the
// environment, standard output, the pictures folder and the time): files through
// CreateFileW/ReplaceFileW with the CRT's streams on top, the standard streams kept on the NUL
// device. Paths are UTF-8 in the core and UTF-16 here (lumen/win32_text.h), as are the system's
// messages. Stop requests are os/win32_stop.cpp's. Contract: lumen/os/os.h.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lumen/win32_text.h"
#include "os/os.h"
#include "os/temp_name.h"


namespace lumen::os {

namespace {

using win32::systemErrorText;
using win32::wideOf;


std::string lastErrorText() { return systemErrorText(GetLastError()); }

bool isSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// A named pipe's path (\\.\pipe\NAME): opening one to look at it would take a pipe instance.
bool isPipePath(const std::wstring& path) {
    if (path.size() < 9 || !isSeparator(path[0]) || !isSeparator(path[1]) || path[2] != L'.' ||
        !isSeparator(path[3]) || !isSeparator(path[8]))
        return false;
    return CompareStringOrdinal(path.c_str() + 4, 4, L"pipe", 4, TRUE) == CSTR_EQUAL;
}

// The device namespace (\\.\NUL, \\.\CON, ...): what GetFullPathNameW makes of a device name.
bool isDevicePath(const std::wstring& path) {
    return path.size() > 4 && isSeparator(path[0]) && isSeparator(path[1]) && path[2] == L'.' &&
           isSeparator(path[3]);
}

std::wstring fullPath(const std::wstring& path) {
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring out(n, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), n, out.data(), nullptr);
    if (written == 0 || written >= n) return path;
    out.resize(written);
    return out;
}

// Opens an existing file, folder or device only to ask about it.
HANDLE openToInspect(const std::wstring& path) {
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// A CRT stream over `handle` (which it then owns); null with the reason on failure.
std::FILE* streamOver(HANDLE handle, bool append, std::string& error) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY | (append ? _O_APPEND : 0));
    if (fd < 0) {
        error = "no file descriptor left";
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, append ? "ab" : "wb");
    if (file == nullptr) {
        error = std::strerror(errno);
        _close(fd);
    }
    return file;
}

// The folder part of `path` with its separator ("" for a bare name, "C:" for "C:name"), its last part.
void splitPath(const std::string& path, std::string& folder, std::string& name) {
    std::size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos && path.size() >= 2 && path[1] == ':') cut = 1;
    folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    name = cut == std::string::npos ? path : path.substr(cut + 1);
}

// Removes the temporaries of output `name` in `folder` whose process is gone (one still open, of
// another machine's process on a shared folder, cannot be deleted and stays).
void removeStaleTemps(const std::string& folder, const std::string& name) {
    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFileW(wideOf(folder + ".*.tmp").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        uint64_t pid = 0;
        if (!isTempOf(win32::utf8Of(found.cFileName), name, pid) || pid == GetCurrentProcessId() || pid > MAXDWORD)
            continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
        if (process != nullptr) {
            CloseHandle(process);
        } else if (GetLastError() == ERROR_INVALID_PARAMETER) {  // no such process
            DeleteFileW((wideOf(folder) + found.cFileName).c_str());
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
}


}  // namespace

std::FILE* openForReading(const std::string& path, std::string& error) {
    errno = 0;
    std::FILE* file = _wfopen(wideOf(path).c_str(), L"rb");
    if (file == nullptr) error = std::strerror(errno != 0 ? errno : ENOENT);
    return file;
}

PathKind pathKind(const std::string& path) {
    const std::wstring w = wideOf(path);
    if (w.empty()) return PathKind::Missing;
    if (isPipePath(w)) return PathKind::Stream;
    if (isDevicePath(fullPath(w))) return PathKind::Stream;
    HANDLE handle = openToInspect(w);
    if (handle != INVALID_HANDLE_VALUE) {
        PathKind kind = PathKind::Stream;
        if (GetFileType(handle) == FILE_TYPE_DISK) {
            BY_HANDLE_FILE_INFORMATION info{};
            kind = GetFileInformationByHandle(handle, &info) &&
                           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                       ? PathKind::Directory
                       : PathKind::Regular;
        }
        CloseHandle(handle);
        return kind;
    }
    // Not openable (locked, no access): the attributes still tell a folder from a file.
    const DWORD attributes = GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::Regular;
}

// Links are left to the system: a path names what the system's calls open through it.
bool followLinks(const std::string& path, std::string& file, std::string&) {
    file = path;
    return true;
}

std::FILE* createTempBeside(const std::string& file, std::string& tempPath, std::string& error) {
    std::string folder;
    std::string name;
    splitPath(file, folder, name);
    if (name.empty() || name == "." || name == "..") {
        error = "not a file name";
        return nullptr;
    }
    // A read-only file cannot be replaced: said now rather than when the run has ended.
    const DWORD attributes = GetFileAttributesW(wideOf(file).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_READONLY) {
        error = "it is read-only, and a read-only file cannot be replaced";
        return nullptr;
    }
    removeStaleTemps(folder, name);
    // A name of our own in the same folder, unique by process, clock and attempt; CREATE_NEW never
    // opens what is there. Not to be deleted while written: no run elsewhere takes it for stale.
    LARGE_INTEGER tick{};
    QueryPerformanceCounter(&tick);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate =
            folder + tempName(name, GetCurrentProcessId(),
                              (static_cast<unsigned long long>(tick.QuadPart) + attempt * 7919u) % 1000000007u);
        HANDLE handle = CreateFileW(wideOf(candidate).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
            const std::size_t cut = folder.size() > 1 && folder.back() != ':' ? folder.size() - 1 : folder.size();
            error = "cannot create a file in folder " + (folder.empty() ? "." : folder.substr(0, cut)) + ": " +
                    systemErrorText(code);
            return nullptr;
        }
        std::FILE* stream = streamOver(handle, false, error);
        if (stream == nullptr) {
            DeleteFileW(wideOf(candidate).c_str());
            return nullptr;
        }
        tempPath = candidate;
        return stream;
    }
    error = "no free name for a temporary file";
    return nullptr;
}

bool syncFile(std::FILE* file, std::string& error) {
    if (std::fflush(file) != 0) {
        error = std::strerror(errno);
        return false;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) return true;
    if (!FlushFileBuffers(handle)) {
        const DWORD code = GetLastError();
        // File systems that cannot flush say so; that is no failure of the file.
        if (code == ERROR_INVALID_FUNCTION) return true;
        error = systemErrorText(code);
        return false;
    }
    return true;
}

bool replaceFile(const std::string& tempPath, const std::string& file, std::string& error) {
    std::wstring from = wideOf(tempPath), to = wideOf(file);
    for (std::wstring* p : {&from, &to}) std::replace(p->begin(), p->end(), L'/', L'\\');
    // An existing file is replaced keeping its attributes, security and creation time; a new one,
    // or one where the system cannot do that, is moved into place.
    if (ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) ||
        MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    error = lastErrorText();
    return false;
}

std::string keepTemp(const std::string& tempPath) {
    std::string folder;
    std::string name;
    splitPath(tempPath, folder, name);
    const std::string kept = folder + keptName(name);
    return MoveFileExW(wideOf(tempPath).c_str(), wideOf(kept).c_str(), MOVEFILE_WRITE_THROUGH) ? kept : tempPath;
}

void removeFile(const std::string& path) { DeleteFileW(wideOf(path).c_str()); }

std::FILE* openForWriting(const std::string& path, bool append, std::string& error) {
    HANDLE handle = CreateFileW(wideOf(path).c_str(), append ? FILE_APPEND_DATA | SYNCHRONIZE : GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = lastErrorText();
        return nullptr;
    }
    return streamOver(handle, append, error);
}

bool sameFile(const std::string& a, const std::string& b) {
    const std::wstring wa = wideOf(a);
    const std::wstring wb = wideOf(b);
    HANDLE ha = isPipePath(wa) ? INVALID_HANDLE_VALUE : openToInspect(wa);
    HANDLE hb = isPipePath(wb) ? INVALID_HANDLE_VALUE : openToInspect(wb);
    BY_HANDLE_FILE_INFORMATION ia{};
    BY_HANDLE_FILE_INFORMATION ib{};
    const bool known = ha != INVALID_HANDLE_VALUE && hb != INVALID_HANDLE_VALUE &&
                       GetFileType(ha) == FILE_TYPE_DISK && GetFileType(hb) == FILE_TYPE_DISK &&
                       GetFileInformationByHandle(ha, &ia) && GetFileInformationByHandle(hb, &ib);
    if (ha != INVALID_HANDLE_VALUE) CloseHandle(ha);
    if (hb != INVALID_HANDLE_VALUE) CloseHandle(hb);
    if (known) {
        return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
               ia.nFileIndexLow == ib.nFileIndexLow;
    }
    // Not both there (or devices): the same full path, compared as the file system does, without
    // regard to case and with either separator.
    std::wstring fa = fullPath(wa);
    std::wstring fb = fullPath(wb);
    for (std::wstring* p : {&fa, &fb}) {
        for (wchar_t& c : *p) c = c == L'/' ? L'\\' : c;
    }
    return CompareStringOrdinal(fa.c_str(), static_cast<int>(fa.size()), fb.c_str(), static_cast<int>(fb.size()),
                                TRUE) == CSTR_EQUAL;
}

std::vector<OwnFile> ownFiles() {
    static const char inLumen = 0;
    HMODULE lumen = nullptr;
    std::vector<OwnFile> files;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&inLumen), &lumen);
    std::wstring path(32768, L'\0');
    if (DWORD n = lumen ? GetModuleFileNameW(lumen, path.data(), 32768) : 0; n > 0 && n < 32768)
        files.push_back({"Lumen's library", win32::utf8Of(path.substr(0, n))});
    if (DWORD n = GetModuleFileNameW(nullptr, path.data(), 32768); n > 0 && n < 32768)
        files.push_back({"the program", win32::utf8Of(path.substr(0, n))});
    return files;
}

// The core passes errno values (from the CRT's stream functions), as on POSIX; Windows API
// failures inside this file are turned into words with FormatMessageW where they happen.
std::string errorText(int error) { return std::strerror(error); }


// A write to a pipe whose reader is gone fails with an error on Windows (Wine ignores the host's
// SIGPIPE for the same end): nothing to change.
void ignoreBrokenPipes() {}

void keepStandardDescriptors() {
    // A program without a console (a double-click) has no standard streams: the CRT's descriptors
    // 0 to 2 stay reserved, so nothing opened later can take their place; writes to them are
    // dropped. Where a descriptor has no handle, the NUL device stands in, so that writing to it
    // is an ordinary successful write and not an error.
    for (int fd = 0; fd < 3; ++fd) {
        const intptr_t handle = _get_osfhandle(fd);
        if (handle != -1 && handle != -2 && handle != 0) continue;
        const int opened = _wopen(L"NUL", fd == 0 ? _O_RDONLY | _O_BINARY : _O_WRONLY | _O_BINARY);
        if (opened < 0) continue;
        if (opened != fd) {
            _dup2(opened, fd);
            _close(opened);
        }
    }
}

[[noreturn]] __attribute__((noinline)) void raiseFault(uint32_t code, uint64_t argument,
                                                     uint64_t /*address*/) {
    const ULONG_PTR arguments[1] = {static_cast<ULONG_PTR>(argument)};
    RaiseException(code, 0, 1, arguments);
    // A handler continued the raise unchanged: nothing can go on from here.
    ExitProcess(code == 0 ? 0 : 1);
}

bool iconHasPlatformForm(const void*) { return true; }

// Large pages need a privilege that programs do not have by default: 4 KiB pages it is.
void preferLargePages(void*, std::size_t) {}

// The bytes go to the stream's handle directly (after anything the stream holds), so that a
// failure comes with the system's own reason: the C library reports a full disk as an invalid
// argument.
std::string writeAll(std::FILE* out, const uint8_t* bytes, std::size_t size) {
    errno = 0;
    if (std::fflush(out) != 0 || std::ferror(out) != 0) return std::strerror(errno != 0 ? errno : EIO);
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    if (handle == INVALID_HANDLE_VALUE) return "no file";
    for (std::size_t at = 0; at < size;) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - at, 1u << 24));
        DWORD written = 0;
        if (!WriteFile(handle, bytes + at, chunk, &written, nullptr)) return systemErrorText(GetLastError());
        if (written == 0) return systemErrorText(ERROR_DISK_FULL);
        at += written;
    }
    return "";
}

}  // namespace lumen::os
