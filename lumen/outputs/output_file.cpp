#include "outputs/output_file.h"

#include <cerrno>

#include "os/os.h"

namespace lumen {

OutputFile::~OutputFile() { discard(); }

bool OutputFile::open(const std::string& path, const char* what) {
    discard();
    path_ = path;
    what_ = what;
    error_.clear();
    std::string reason;
    switch (os::pathKind(path)) {
        case os::PathKind::Directory: reason = "it is a folder"; break;
        case os::PathKind::Stream:
            streaming_ = true;
            file_ = os::openForWriting(path, false, reason);
            break;
        case os::PathKind::Missing:
        case os::PathKind::Regular:
            streaming_ = false;
            if (os::followLinks(path, target_, reason)) file_ = os::createTempBeside(target_, tempPath_, reason);
            break;
    }
    if (file_ == nullptr) {
        error_ = "cannot write " + what_ + " " + path_ + ": " + reason;
        tempPath_.clear();
        return false;
    }
    return true;
}

void OutputFile::fail(const std::string& reason) {
    if (error_.empty()) error_ = "cannot write " + what_ + " " + path_ + ": " + reason;
}

bool OutputFile::write(std::string_view bytes) {
    if (file_ == nullptr || failed()) return false;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        fail(os::errorText(errno != 0 ? errno : EIO));
        return false;
    }
    return true;
}

bool OutputFile::line(std::string_view text) {
    if (!write(text) || !write("\n")) return false;
    errno = 0;
    if (std::fflush(file_) != 0) {
        fail(os::errorText(errno != 0 ? errno : EIO));
        return false;
    }
    return true;
}

bool OutputFile::finishWriting() {
    if (failed()) return false;
    errno = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0) {
        fail(os::errorText(errno != 0 ? errno : EIO));
        return false;
    }
    std::string reason;
    if (!tempPath_.empty() && !os::syncFile(file_, reason)) {
        fail(reason);
        return false;
    }
    return true;
}

bool OutputFile::commit() {
    if (file_ == nullptr) return !failed();
    const bool written = finishWriting();
    errno = 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (written && !closed) fail(os::errorText(errno != 0 ? errno : EIO));
    if (tempPath_.empty()) return !failed();  // a stream, or a file continued in place
    std::string reason;
    if (!failed() && !os::replaceFile(tempPath_, target_, reason)) {
        // Complete but refused its place: the only copy of the output, so it stays.
        fail(reason + "; the whole " + what_ + " is kept in " + os::keepTemp(tempPath_));
    } else if (failed()) {
        os::removeFile(tempPath_);
    }
    tempPath_.clear();
    return !failed();
}

bool OutputFile::commitAndContinue() {
    if (file_ == nullptr) return !failed();
    if (tempPath_.empty()) return finishWriting();
    if (!commit()) return false;
    std::string reason;
    file_ = os::openForWriting(target_, true, reason);
    if (file_ == nullptr) fail(reason);
    return !failed();
}

void OutputFile::discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!tempPath_.empty()) os::removeFile(tempPath_);
    tempPath_.clear();
}

bool OutputWriter::open(const std::string& path, const char* name, uint64_t) {
    return file_.open(path, name);
}

}  // namespace lumen
