// Temporary folders and files of the tests, and whole files read and written.
#pragma once

#include <string>
#include <vector>

namespace test_support {

// A fresh, empty folder "stackrise-NAME-PID-N" under the system's temporary folder.
std::string tempDir(const std::string& name);

// Writes `text` to `path` (replacing what was there).
void writeFile(const std::string& path, const std::string& text);
// The whole file, or "" if it cannot be read.
std::string readFile(const std::string& path);
// The file's lines (split at '\n'; no empty line after a last newline); none if it cannot be read.
std::vector<std::string> readLines(const std::string& path);

// A file in the temporary folder holding `content`, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::string& content = "", const std::string& suffix = ".txt");
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A fresh temporary folder (tempDir), removed with all it holds when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& name);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace test_support
