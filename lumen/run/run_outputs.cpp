#include "run/run_outputs.h"

#include <vector>

#include "os/os.h"
#include "run/text.h"

namespace lumen {

std::string RunOutputs::open(OpenAt when, const Settings& given, uint64_t seed) {
    for (const OutputKind& kind : kOutputKinds) {
        const std::optional<std::string>& path = given.*kind.setting;
        if (kind.opened != when || !path) continue;
        OutputWriter& writer = kind.writer(*this);
        if (!writer.open(*path, kind.name, seed)) return "Lumen: " + writer.output().error();
    }
    return {};
}

void RunOutputs::frame(Canvas& canvas) {
    for (const OutputKind& kind : kOutputKinds) {
        OutputWriter& writer = kind.writer(*this);
        if (writer.wantsFrames()) writer.frame(canvas);
    }
}

void RunOutputs::endRun(Canvas* canvas) {
    for (const OutputKind& kind : kOutputKinds) kind.writer(*this).endRun(canvas);
}

void RunOutputs::free() {
    for (const OutputKind& kind : kOutputKinds) kind.writer(*this).free();
}

void RunOutputs::unload() {
    for (const OutputKind& kind : kOutputKinds) kind.writer(*this).unload();
}

const OutputFile* RunOutputs::firstFailure() {
    for (const OutputKind& kind : kOutputKinds) {
        const OutputFile& file = kind.writer(*this).output();
        if (file.failed()) return &file;
    }
    return nullptr;
}

std::string wrongFormatError(const Settings& s) {
    for (const OutputKind& kind : kOutputKinds) {
        const std::optional<std::string>& path = s.*kind.setting;
        if (kind.extension == nullptr || !path) continue;
        const std::size_t slash = path->find_last_of("/\\");
        const std::string name = slash == std::string::npos ? *path : path->substr(slash + 1);
        const std::size_t dot = name.rfind('.');
        if (dot == std::string::npos || dot == 0) continue;
        std::string extension = name.substr(dot);
        for (char& c : extension) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (extension == kind.extension) continue;
        bool media = false;
        for (const char* e : kMediaExtensions) media = media || extension == e;
        if (!media) continue;
        std::string error = "Lumen: bad ";
        error.append(s.nameOf(settingOf(kind.setting))).append(" ").append(quote(*path));
        error.append(": the ").append(kind.name).append(" is a ").append(kind.format);
        return error.append("; name it ").append(kind.extension).append(" or leave the extension off");
    }
    return {};
}

std::string sameFileError(const Settings& s) {
    struct NamedPath {
        const char* variable;
        const std::optional<std::string>* path;
    };
    // Lumen's library, the program and the inputs, then the outputs; each output is checked
    // against every name before it.
    const std::vector<os::OwnFile> own = os::ownFiles();
    std::vector<std::optional<std::string>> ownPaths;
    for (const os::OwnFile& file : own) ownPaths.emplace_back(file.path);
    std::vector<NamedPath> paths;
    for (std::size_t i = 0; i < own.size(); ++i) paths.push_back({own[i].what, &ownPaths[i]});
    for (const SettingInfo& setting : kSettings) {
        if (setting.input) paths.push_back({setting.variable, &(s.*setting.text)});
    }
    const std::size_t inputs = paths.size();
    for (const OutputKind& kind : kOutputKinds)
        paths.push_back({settingOf(kind.setting).variable, &(s.*kind.setting)});
    for (std::size_t i = inputs; i < paths.size(); ++i) {
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

}  // namespace lumen
