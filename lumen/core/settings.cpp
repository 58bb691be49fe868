#include "core/settings.h"

#include <cstdlib>

namespace lumen {

namespace {
std::optional<std::string> variable(const char* name) {
    // An empty value counts as unset, so that `LUMEN_TRACE= stackrise` turns the trace off.
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}
}  // namespace

Settings Settings::fromEnvironment() {
    Settings s;
    s.trace = variable("LUMEN_TRACE");
    s.script = variable("LUMEN_SCRIPT");
    s.seed = variable("LUMEN_SEED");
    s.headless = variable("LUMEN_HEADLESS");
    s.fps = variable("LUMEN_FPS");
    s.capture = variable("LUMEN_CAPTURE");
    s.movie = variable("LUMEN_MOVIE");
    s.record = variable("LUMEN_RECORD");
    s.fault = variable("LUMEN_FAULT");
    return s;
}

}  // namespace lumen
