// The call trace (LUMEN_TRACE): one line per call, written and flushed as the call happens.
#pragma once

#include <string>
#include <string_view>

#include "core/output.h"

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

}  // namespace lumen
