// The call trace (LUMEN_TRACE): one line per call, written and flushed as the call happens.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "outputs/output_file.h"
#include "lumen/lumen.h"

namespace lumen {

// The trace as an output: opened when the Session is made, put in place at Free and written on
// in place after it (FreeMem may follow Free), and kept when the library is unloaded first.
class Trace : public OutputWriter {
public:
    bool enabled() const { return file_.isOpen(); }
    // Writes `text` and a newline, and flushes; nothing when not enabled or after a failure.
    void line(std::string_view text) {
        if (file_.isOpen()) file_.line(text);
    }
    void free() override { file_.commitAndContinue(); }
    void unload() override { file_.commit(); }
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
