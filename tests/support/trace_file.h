// Where a run's trace is while the run goes on: Lumen writes a regular trace file to a
// temporary beside its path (".NAME.PID-N.tmp") and puts it in place at Free.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace test_support {

// The file that holds the trace of `path` now: the path itself once it exists, else the
// temporary beside it, else `path`.
inline std::string traceFileNow(const std::string& path) {
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

}  // namespace test_support
