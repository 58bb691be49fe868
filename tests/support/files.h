// Temporary folders and files of the tests, and whole files read and written.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/no_copy.h"

namespace test_support {

// A fresh, empty folder "stackrise-NAME-PID-N" under the system's temporary folder.
std::string tempDir(const std::string& name);

// Writes `text` to `path` (replacing what was there).
void writeFile(const std::string& path, const std::string& text);
// The whole file, or "" if it cannot be read.
std::string readFile(const std::string& path);
// The file's lines (split at '\n'; no empty line after a last newline); none if it cannot be read.
std::vector<std::string> readLines(const std::string& path);

// A file or folder in the temporary folder, removed (with all it holds) when the object goes.
class TempPath : NoCopy {
public:
    const std::string& path() const { return path_; }

protected:
    explicit TempPath(std::string path) : path_(std::move(path)) {}
    ~TempPath();

private:
    std::string path_;
};

// A file holding `content`, its name ending in `suffix`.
class TempFile : public TempPath {
public:
    explicit TempFile(const std::string& content = "", const std::string& suffix = ".txt");
};

// A fresh folder, as tempDir(name) makes it.
class TempDir : public TempPath {
public:
    explicit TempDir(const std::string& name);
};

}  // namespace test_support
