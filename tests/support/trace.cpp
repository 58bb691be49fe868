#include "trace.h"

#include <filesystem>
#include <system_error>

#include "files.h"

namespace test_support {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

std::string traceFileNow(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) return path;
    const std::filesystem::path final(path);
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for "." + name + ".".
    std::string prefix = ".";
    prefix.append(final.filename().string()).append(".");
    const std::filesystem::path folder = final.has_parent_path() ? final.parent_path() : ".";
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && name.size() > prefix.size() + 4 &&
            name.compare(name.size() - 4, 4, ".tmp") == 0)
            return entry.path().string();
    }
    return path;
}

std::vector<std::string> traceSoFar(const std::string& path) {
    const std::string text = readFile(traceFileNow(path));
    std::vector<std::string> out = lines(text);
    if (!text.empty() && text.back() != '\n') out.pop_back();
    return out;
}

int find(const std::vector<std::string>& lines, const std::string& prefix, int from) {
    for (int i = from < 0 ? 0 : from; i < static_cast<int>(lines.size()); ++i) {
        if (lines[static_cast<size_t>(i)].rfind(prefix, 0) == 0) return i;
    }
    return -1;
}

int findLine(const std::vector<std::string>& lines, const std::string& line, int from) {
    for (int i = from < 0 ? 0 : from; i < static_cast<int>(lines.size()); ++i) {
        if (lines[static_cast<size_t>(i)] == line) return i;
    }
    return -1;
}

int count(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
    return n;
}

}  // namespace test_support
