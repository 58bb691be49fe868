#include "core/trace.h"

namespace lumen {

bool Trace::open(const std::string& path, std::string& error) {
    if (out_.open(path, "trace")) return true;
    error = out_.error();
    return false;
}

}  // namespace lumen
