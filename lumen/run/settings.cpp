#include "run/settings.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "os/os.h"
#include "run/text.h"

namespace lumen {

namespace {

std::optional<std::string> variable(const char* name) {
    // An empty value counts as unset, so that `LUMEN_TRACE= stackrise` turns the trace off.
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

constexpr SimdPath kSimdPaths[] = {SimdPath::Scalar, SimdPath::Sse2, SimdPath::Avx2};

SimdChoice parseSimd(const std::optional<std::string>& text) {
    SimdChoice choice;
    if (!text) return choice;
    for (const SimdPath p : kSimdPaths) {
        if (*text == simdPathName(p)) {
            choice.path = p;
            return choice;
        }
    }
    choice.unknown = *text;
    return choice;
}

// "Lumen: A and B name the same file PATH" for the first output that names an input or an
// earlier output, or "". Streams (the null device, a terminal, a FIFO) are never destroyed.
std::string sameFileError(const Settings& s) {
    struct NamedPath {
        const char* variable;
        const std::optional<std::string>* path;
    };
    const NamedPath paths[] = {{"LUMEN_SCRIPT", &s.script},
                               {"LUMEN_TRACE", &s.trace},
                               {"LUMEN_CAPTURE", &s.capture},
                               {"LUMEN_MOVIE", &s.movie},
                               {"LUMEN_RECORD", &s.record}};
    for (std::size_t i = 1; i < std::size(paths); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const std::optional<std::string>& later = *paths[i].path;
            const std::optional<std::string>& earlier = *paths[j].path;
            if (later && earlier && os::pathKind(*later) != os::PathKind::Stream &&
                os::sameFile(*later, *earlier)) {
                std::string error = "Lumen: ";
                error.append(paths[i].variable).append(" and ").append(paths[j].variable);
                error.append(" name the same file ").append(*later);
                return error;
            }
        }
    }
    return {};
}

// "Lumen: bad VARIABLE "TEXT" (FORM)".
std::string badValue(const char* variable, const std::string& text, const char* form) {
    std::string error = "Lumen: bad ";
    error.append(variable).append(" ").append(quoteShort(text));
    return error.append(" (").append(form).append(")");
}

}  // namespace

Settings Settings::fromEnvironment() {
    Settings s;
    s.trace = variable("LUMEN_TRACE");
    s.script = variable("LUMEN_SCRIPT");
    s.seed = variable("LUMEN_SEED");
    s.headless = variable("LUMEN_HEADLESS");
    s.traceTime = variable("LUMEN_TRACE_TIME");
    s.fps = variable("LUMEN_FPS");
    s.capture = variable("LUMEN_CAPTURE");
    s.movie = variable("LUMEN_MOVIE");
    s.record = variable("LUMEN_RECORD");
    s.fault = variable("LUMEN_FAULT");
    s.simd = variable("LUMEN_SIMD");
    return s;
}

SimdPath simdPathFor(const SimdChoice& choice) {
    const SimdPath best = widestSimdPath();
    if (choice.path) {
        if (simdPathSupported(*choice.path)) return *choice.path;
        std::fprintf(stderr, "Lumen: LUMEN_SIMD=%s is not supported here, using %s\n",
                     simdPathName(*choice.path), simdPathName(best));
    } else if (!choice.unknown.empty()) {
        std::fprintf(stderr, "Lumen: LUMEN_SIMD=%s is not scalar, sse2 or avx2, using %s\n",
                     choice.unknown.c_str(), simdPathName(best));
    }
    return best;
}

std::optional<double> parseFps(const std::string& text) {
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    if (!(value >= kMinFps) || value > kMaxFps) return std::nullopt;
    return value;
}

RunSettings parseSettings(const Settings& s) {
    RunSettings run;
    run.sameFile = sameFileError(s);
    if (!run.sameFile.empty()) return run;
    run.tracePath = s.trace;
    run.scriptPath = s.script;
    run.capturePath = s.capture;
    run.moviePath = s.movie;
    run.recordPath = s.record;
    run.headless = (s.headless && *s.headless == "1") || s.script.has_value();
    run.traceTime = s.traceTime && *s.traceTime == "1";
    run.simd = parseSimd(s.simd);
    if (s.seed) {
        run.seed = parseUnsigned(*s.seed);
        if (!run.seed)
            run.errors.push_back(badValue("LUMEN_SEED", *s.seed, "a decimal or 0x hex number below 2^64"));
    }
    if (s.fps) {
        run.fps = parseFps(*s.fps);
        if (!run.fps)
            run.errors.push_back(badValue("LUMEN_FPS", *s.fps, "frames per second, from 0.000001 to 1000000"));
    }
    if (s.fault) {
        std::string error;
        if (std::optional<FaultPlan> plan = FaultPlan::parse(*s.fault, error)) {
            run.fault = std::move(*plan);
        } else {
            run.errors.push_back(std::move(error));
        }
    }
    if (s.script) {
        std::string text;
        std::string error;
        if (!readScriptFile(*s.script, text, error)) {
            std::string message = "Lumen: cannot read script ";
            message.append(*s.script).append(": ").append(error);
            run.errors.push_back(std::move(message));
        } else if (ScriptParse parse = parseScript(text); !parse.ok()) {
            run.errors.push_back(scriptErrorText(*s.script, *parse.error));
        } else {
            run.script = std::move(parse.script);
        }
    }
    return run;
}

void printNote(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

uint64_t clockSeed() {
    const auto seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    printNote(std::string("Lumen: seed ").append(std::to_string(seed)).append(" (LUMEN_SEED=")
                  .append(std::to_string(seed)).append(" replays it)"));
    return seed;
}

}  // namespace lumen
