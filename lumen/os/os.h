// What Lumen takes from the operating system, besides the window: files, stop requests, the
// standard descriptors, the way a fault is raised and the form of the icon. One file per
// platform implements it (os/posix.cpp, also the web build's; os/win32.cpp), so run/, pixels/
// and outputs/ hold no platform code of their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace lumen::os {

// Opens the file at `path` (UTF-8) for reading, in binary. Null with the reason in words on
// failure. On the page a device (its in-memory /dev) is refused: reading one would ask the
// browser a byte at a time, or open a prompt.
std::FILE* openForReading(const std::string& path, std::string& error);

// What exists at a path.
enum class PathKind {
    Missing,    // nothing (or a dangling link)
    Regular,    // a regular file, or a link to one
    Directory,  // a folder, or a link to one
    Stream,     // anything else that can be opened: FIFO, pipe, terminal, device; also a
                // descriptor of this process named through a link (/dev/stdout, /dev/fd/N)
};
PathKind pathKind(const std::string& path);

// The file that writing `path` replaces: `path` with its links followed to their end, which
// need not exist yet (a dangling link names the file to create). False with the reason for a
// loop of links.
bool followLinks(const std::string& path, std::string& file, std::string& error);
// Creates the temporary that is to replace `file` (an end of links, followLinks): a new, empty
// file beside it, named by os/temp_name.h, open for writing. What can be known before the run
// is checked first: that the folder takes new files and that `file` may be replaced (on POSIX
// not another user's in a sticky folder nor mounted on its own, on Windows not read-only). The
// temporary gets the mode, owner and group of the file it replaces where it may, else the mode
// a new file gets; the stale temporaries of `file`, left by processes that are gone, are
// removed. Null with the reason in `error`, which names the folder when the folder is at fault.
std::FILE* createTempBeside(const std::string& file, std::string& tempPath, std::string& error);
// Makes what `file` holds durable (flushes the stream and the system's buffers). False with the
// reason on failure. Streams that cannot be synced (pipes, terminals) count as synced.
bool syncFile(std::FILE* file, std::string& error);
// Puts `tempPath` in the place of `file` (from followLinks) in one step: whatever was there is
// replaced whole.
bool replaceFile(const std::string& tempPath, const std::string& file, std::string& error);
// A complete temporary that could not be put in place is kept: renamed to its kept name
// (os/temp_name.h) where it can be, so that no later run removes it. Its path at the end.
std::string keepTemp(const std::string& tempPath);
// Removes a file; errors are ignored (the file is a temporary of ours).
void removeFile(const std::string& path);
// Opens `path` for writing: without `append`, an existing stream (a descriptor of this process
// named through a link is duplicated, so that it writes as the shell opened it, at the end after
// `>>`; a FIFO, device or terminal is opened); with `append`, an existing regular file at its
// end. Null with the reason on failure.
std::FILE* openForWriting(const std::string& path, bool append, std::string& error);
// A file that no output may name, with its name in messages ("Lumen's library").
struct OwnFile {
    const char* what;
    std::string path;
};
// Lumen's library and the program's executable, where the system tells them.
std::vector<OwnFile> ownFiles();
// The same file, when both exist; the same absolute path after resolving links otherwise.
bool sameFile(const std::string& a, const std::string& b);
// Writes `size` bytes to `out` (after what the stream holds); "" or the system's reason.
std::string writeAll(std::FILE* out, const uint8_t* bytes, std::size_t size);
// The C library's message for an errno value.
std::string errorText(int error);
// Asks the system to back [memory, memory + bytes) with large pages where it is first touched:
// a big buffer written whole then costs a few page faults, not one per 4 KiB. Only a hint; give
// it when the buffer is about to be written, as the system may also fill large pages in the
// background around the few small ones already there.
void preferLargePages(void* memory, std::size_t bytes);
constexpr std::size_t kLargePage = std::size_t{2} << 20;  // bytes, the size preferLargePages asks for
// `bytes` rounded up to whole large pages.
constexpr std::size_t largePageBytes(std::size_t bytes) {
    return (bytes + kLargePage - 1) / kLargePage * kLargePage;
}

// Asks the run to end in order, as closing the window does. Safe in a signal handler.
void requestStop();
// True once a stop was asked for (a stop signal, the console's Ctrl-C, requestStop(); on the
// page also window.stackrise.end()).
bool stopRequested();
// Stop signals that come within this time of the first are the same request (`timeout` signals
// the run and then its process group); a later one has the system's effect (the process ends).
constexpr std::chrono::milliseconds kSameStopWindow{500};
// From now on a stop signal asks the run to end instead of killing the process: SIGINT,
// SIGTERM and SIGHUP on POSIX, the console's Ctrl-C, Ctrl-Break and close on Windows (and the
// host's signals under Wine). Repeats within kSameStopWindow are one request.
void watchStopRequests();
// Sleeps until `deadline` (steady clock), returning early, within a few ms, once a stop is
// requested, also one that comes during the sleep. On the page the browser runs meanwhile.
void sleepUntil(std::chrono::steady_clock::time_point deadline);
// On the page: lets the browser run if the program has held it for 50 ms (a headless run's
// frames come back to back), so that the page never freezes. Elsewhere nothing.
void yieldToHost();
// From now on, for the rest of the process, a write to a closed pipe fails as a write error
// instead of killing the process (SIGPIPE is ignored on POSIX).
void ignoreBrokenPipes();
// Gives the previous handlers back (at the end of a session).
void unwatchStopRequests();

// Opens the null device onto standard input, output and error where they are closed, so that
// no file opened later takes their place.
void keepStandardDescriptors();

// Raises fault `code` with `argument` the way the program catches it: POSIX throws
// lumen::Fault{code, argument, address}; Windows raises a structured exception with `argument`
// as its one parameter, whose raising place the system reports (`address` is not used).
[[noreturn]] void raiseFault(uint32_t code, uint64_t argument, uint64_t address);

// The process's arguments after the program's name, as UTF-8: /proc/self/cmdline on Linux,
// GetCommandLineW on Windows, node's process.argv; none on the page.
std::vector<std::string> commandLine();
// The value of the environment variable `name`, as UTF-8 (Windows: its wide value, whatever the
// code page), or nullopt when it is unset.
std::optional<std::string> environmentValue(const char* name);
// The names of the process's environment variables, as UTF-8, in the system's order.
std::vector<std::string> environmentNames();
// Writes `text` (UTF-8, whole lines) where the user who started the program reads it: standard
// output; on Windows, where the program has none (a GUI program started from a console), the
// console it was started from, else a message box.
void printOut(const std::string& text);
// The folder a picture the user asks for (F12) goes to: the XDG pictures folder on Linux
// (XDG_PICTURES_DIR, else user-dirs.dirs, else ~/Pictures, else the home folder), Pictures on
// Windows, the in-memory "/" on the page. "" with the reason in `error` when there is none.
std::string picturesFolder(std::string& error);
// Hands the file at `path`, just written, to the user under `name`: on the page as a download;
// elsewhere it stays where it is and nothing is done.
void offerDownload(const std::string& path, const std::string& name);
// The local date and time as "YYYY-MM-DD HH-MM-SS" (no colons: a file name on every system).
std::string localTimeStamp();

// Whether the Init record's icon field has the platform's form: null or a lumen::IconFile on
// POSIX; on Windows any value, an HICON that the window backend hands to the system as it is.
bool iconHasPlatformForm(const void* icon);

}  // namespace lumen::os
