// Where a run's frames go besides the screen: the picture of the last frame (LUMEN_CAPTURE)
// and the movie of the run (LUMEN_MOVIE). Both are written when the run ends, once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/output.h"

namespace lumen {

class GifMovie;

class CaptureSink {
public:
    CaptureSink();
    ~CaptureSink();
    CaptureSink(const CaptureSink&) = delete;
    CaptureSink& operator=(const CaptureSink&) = delete;

    // Opens the outputs that are given: the picture, then the movie. False with the message of
    // the first that cannot be opened in `error`.
    bool open(const std::optional<std::string>& picture, const std::optional<std::string>& movie,
              std::string& error);
    // Opens the picture output at `path`. False with the message in `error`:
    // "cannot write picture PATH: REASON".
    bool openPicture(const std::string& path, std::string& error);
    // Opens the movie output at `path` and starts the movie. False with the message in `error`
    // ("cannot write movie PATH: REASON"); the output is then dropped.
    bool openMovie(const std::string& path, std::string& error);

    // One presented frame of Canvas::kWidth x Canvas::kHeight pixels. A movie that cannot be
    // written is dropped and its failure noted in movieOutput(); the run goes on.
    void frame(const uint32_t* pixels);
    // Writes the picture (when a frame was presented; else the path is left alone) and ends the
    // movie. Only the first call does anything.
    void finish();
    // Drops whatever is not finished (after a failed Init) and lets the kept frame go.
    void close();

    OutputFile& pictureOutput() { return picture_; }
    OutputFile& movieOutput() { return movieFile_; }

private:
    OutputFile picture_;
    OutputFile movieFile_;
    std::unique_ptr<GifMovie> movie_;
    std::vector<uint32_t> lastFrame_;  // the last presented frame, kept for the picture
    bool presentedAny_ = false;
    bool finished_ = false;
};

}  // namespace lumen
