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

namespace lumen::os {

// The environment variable `name` (ASCII) as UTF-8, or nullopt when it is unset or empty. On
// Windows it is read from the wide (UTF-16) environment, so every character comes through.
std::optional<std::string> environmentVariable(const char* name);

// Opens the file at `path` (UTF-8) for reading, in binary. Null with the reason in words on
// failure. On the page a device (its in-memory /dev) is refused: reading one would ask the
// browser a byte at a time, or open a prompt.
std::FILE* openForReading(const std::string& path, std::string& error);

// What exists at a path.
enum class PathKind {
    Missing,    // nothing (or a dangling link)
    Regular,    // a regular file, or a link to one
    Directory,  // a folder, or a link to one
    Stream,     // anything else that can be opened: FIFO, pipe, terminal, device
};
PathKind pathKind(const std::string& path);

// Creates a new, empty file in the folder of `path` (whose last part must name a file) for
// writing, with the permissions a new file gets; its name goes to `tempPath`. Null on
// failure, with the system's reason in `error`.
std::FILE* createTempBeside(const std::string& path, std::string& tempPath, std::string& error);
// Makes what `file` holds durable (flushes the stream and the system's buffers). False with the
// reason on failure. Streams that cannot be synced (pipes, terminals) count as synced.
bool syncFile(std::FILE* file, std::string& error);
// Puts `tempPath` in the place of `path` in one step: whatever was at `path` is replaced whole.
bool replaceFile(const std::string& tempPath, const std::string& path, std::string& error);
// Removes a file; errors are ignored (the file is a temporary of ours).
void removeFile(const std::string& path);
// Opens `path` for writing, as an existing stream (FIFO, device, terminal) or, with `append`,
// an existing regular file at its end. Null with the reason on failure.
std::FILE* openForWriting(const std::string& path, bool append, std::string& error);
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

// Whether the Init record's icon field has the platform's form: null or a lumen::IconFile on
// POSIX; on Windows any value, an HICON that the window backend hands to the system as it is.
bool iconHasPlatformForm(const void* icon);

}  // namespace lumen::os
