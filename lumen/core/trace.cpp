#include "core/trace.h"

#include <cerrno>
#include <cstring>

namespace lumen {

Trace::~Trace() {
    if (file_) std::fclose(file_);
}

bool Trace::open(const std::string& path, std::string& error) {
    if (file_) std::fclose(file_);
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error = "cannot write trace " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void Trace::line(std::string_view text) {
    if (!file_) return;
    std::fwrite(text.data(), 1, text.size(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}

}  // namespace lumen
