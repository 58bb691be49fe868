#include "files.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "trace.h"

namespace test_support {

namespace fs = std::filesystem;

namespace {
std::atomic<int> serial{0};  // tells apart the folders and files of one process
}  // namespace

std::string tempDir(const std::string& name) {
    std::string leaf = "stackrise-";
    leaf.append(name).append("-").append(std::to_string(getpid())).append("-").append(std::to_string(serial++));
    const fs::path dir = fs::temp_directory_path() / leaf;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> readLines(const std::string& path) { return lines(readFile(path)); }

TempPath::~TempPath() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

namespace {

std::string tempFilePath(const std::string& suffix) {
    std::string leaf = "stackrise-file-";
    leaf.append(std::to_string(getpid())).append("-").append(std::to_string(serial++)).append(suffix);
    return (fs::temp_directory_path() / leaf).string();
}

}  // namespace

TempFile::TempFile(const std::string& content, const std::string& suffix) : TempPath(tempFilePath(suffix)) {
    writeFile(path(), content);
}

TempDir::TempDir(const std::string& name) : TempPath(tempDir(name)) {}

}  // namespace test_support
