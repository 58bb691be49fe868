// One output file of a run (the trace, the picture, the movie, the recording), written so that
// nothing the user had is lost: a regular file (or a path where nothing is yet), at the end of
// the path's links, is written to a new temporary beside it and put in its place only when
// complete, flushed and synced, keeping the mode of what it replaces; a failure while writing
// removes the temporary and leaves the path as it was, and a complete one that cannot be put in
// place is kept and named. An existing FIFO, pipe, terminal or device, and a descriptor named
// through a link (/dev/stdout), are written directly as streams and never removed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace lumen {

class Canvas;

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();  // discards what is not committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens `path`, named `what` in messages ("trace", "picture", ...). False with the message
    // in error(): "cannot write WHAT PATH: REASON".
    bool open(const std::string& path, const char* what);
    bool isOpen() const { return file_ != nullptr; }
    bool streaming() const { return streaming_; }
    const std::string& path() const { return path_; }
    // Where the bytes go now: the temporary until commit(), else path().
    const std::string& writingPath() const { return tempPath_.empty() ? path_ : tempPath_; }
    // The stream to write to; null when not open.
    std::FILE* stream() const { return file_; }

    // Writes `bytes`; after the first failure nothing more is written. False once failed.
    bool write(std::string_view bytes);
    // Writes `text` and a newline, and flushes, so that a reader of a stream sees it at once.
    bool line(std::string_view text);
    // Notes a failure found by whoever wrote to stream() (a library's writer): `reason` in words.
    void fail(const std::string& reason);
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }

    // Completes the file: flushes, syncs, closes, and puts the temporary in the path's place.
    // False with error() when anything failed on the way; the temporary is then removed, or
    // kept when only putting it in place failed ("...: REASON; the whole WHAT is kept in FILE").
    bool commit();
    // Commits what is written so far and keeps writing at the end of the file (the trace after
    // Free). Streams are only flushed.
    bool commitAndContinue();
    // Drops the output: removes the temporary (a stream is only closed).
    void discard();

private:
    bool finishWriting();  // flush + sync; false with error_ set

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string target_;    // the file the temporary replaces: path_ with its links followed
    std::string tempPath_;  // empty when streaming
    std::string what_;
    std::string error_;
    bool streaming_ = false;
};

// The writer of one kind of output, as the Session drives every output (the table of kinds is
// run/run_outputs.h): opened, given the presented frames if it wants them, finished when the
// run ends, wound up at Free. Each kind fills in what it does; the file is output().
class OutputWriter {
public:
    virtual ~OutputWriter() = default;

    // Opens `path`, named `name` in messages; `seed` is the run's (0 before Init). False with
    // the message in output().error(): "cannot write NAME PATH: REASON".
    virtual bool open(const std::string& path, const char* name, uint64_t seed);
    // True if frame() is to get the presented frames.
    virtual bool wantsFrames() const { return false; }
    // One presented frame: `canvas` as drawn since its clear().
    virtual void frame(Canvas& /*canvas*/) {}
    // The run ended (its end, a script's fault, Free of a running run): the output is written
    // to its end and put in place. `canvas` holds the last presented frame (null only when no
    // frame was). Only the first call does anything.
    virtual void endRun(Canvas* /*canvas*/) {}
    // Free, after endRun when the run was on: puts in place, or drops, what is still open.
    virtual void free() = 0;
    // The library is being unloaded (after Free or without it): what is not committed by now is
    // dropped, unless kept here.
    virtual void unload() {}

    OutputFile& output() { return file_; }

protected:
    OutputWriter() = default;
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    OutputFile file_;
};

}  // namespace lumen
