// Small helpers of Lumen's tests: temporary files and reading the trace.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace lumen_test {

// A file in the temporary directory, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::string& content = "", const std::string& suffix = ".txt") {
        static int counter = 0;
        const char* dir = std::getenv("TMPDIR");
        path_ = std::string(dir ? dir : "/tmp") + "/lumen_test_" + std::to_string(getpid()) +
                "_" + std::to_string(counter++) + suffix;
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace lumen_test
