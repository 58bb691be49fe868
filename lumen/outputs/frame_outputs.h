// Where a run's frames go besides the screen: the picture of the last frame (LUMEN_CAPTURE)
// and the movie of the run (LUMEN_MOVIE). Both are written when the run ends, once. Pixels are
// only composited when they are written: the picture keeps the last frame's fills and encodes
// them at the end, band by band, without the canvas's buffer; the movie reads the canvas on its
// own frames, every fourth.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pixels/canvas.h"
#include "outputs/output_file.h"

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

    // One presented frame: the canvas as drawn since its clear(). A movie that cannot be
    // written is dropped and its failure noted in movieOutput(); the run goes on.
    void frame(Canvas& canvas);
    // True if frame() has anything to do (an output is open).
    bool wantsFrames() const { return picture_.isOpen() || movie_ != nullptr; }
    // Writes the picture (when a frame was presented; else the path is left alone), the last
    // frame's fills as `canvas` (the one frame() was given; null only when none was) composites
    // them, and ends the movie.
    // Only the first call does anything.
    void finish(Canvas* canvas);
    // Drops whatever is not finished (after a failed Init) and lets the kept frame go.
    void close();

    OutputFile& pictureOutput() { return picture_; }
    OutputFile& movieOutput() { return movieFile_; }

private:
    OutputFile picture_;
    OutputFile movieFile_;
    std::unique_ptr<GifMovie> movie_;
    std::vector<CanvasFill> lastFrame_;  // the last presented frame's fills, for the picture
    bool presentedAny_ = false;
    bool finished_ = false;
};

}  // namespace lumen
