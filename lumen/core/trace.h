// The call trace (LUMEN_TRACE): one line per call, written and flushed as the call happens.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace lumen {

class Trace {
public:
    Trace() = default;
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Creates (or truncates) `path`; on failure returns false with the reason in `error`.
    bool open(const std::string& path, std::string& error);
    bool enabled() const { return file_ != nullptr; }
    // Writes `text` and a newline, and flushes; nothing when not enabled.
    void line(std::string_view text);

private:
    std::FILE* file_ = nullptr;
};

}  // namespace lumen
