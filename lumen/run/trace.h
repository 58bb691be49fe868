// The call trace (LUMEN_TRACE): one line per call, written and flushed as the call happens.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "outputs/output_file.h"
#include "lumen/lumen.h"

namespace lumen {

class Trace {
public:
    // Opens `path` as an output (see OutputFile); on failure returns false with the message in
    // `error` ("cannot write trace PATH: REASON").
    bool open(const std::string& path, std::string& error);
    bool enabled() const { return out_.isOpen(); }
    // Writes `text` and a newline, and flushes; nothing when not enabled or after a failure.
    void line(std::string_view text) {
        if (out_.isOpen()) out_.line(text);
    }
    OutputFile& output() { return out_; }

private:
    OutputFile out_;
};

// Forms that trace lines give their arguments.
std::string blockName(uint64_t id);        // a block of AllocMem: "#ID"
std::string tagText(const char16_t* tag);  // an AllocMem tag: quoted, or null
// The line of the n-th Act: "Act N", with " t=SECONDS.NNNNNNNNN" (monotonicTime) if `withTime`.
std::string actLine(int64_t n, bool withTime);
// The monotonic clock now, "SECONDS.NNNNNNNNN" (nanoseconds; the origin is the system's).
std::string monotonicTime();
// The Init call's line; `title` gets the title in UTF-8 and `titleOk` says whether its length
// is in range ([0, 2^30] units; a null title is in range).
std::string initLine(const InitRecord& record, std::string& title, bool& titleOk);

}  // namespace lumen
