// Where a run's frames go besides the screen: the picture of the last frame and the movie of
// the run. Both are written when the run ends, once. Pixels are only composited when they are
// written: the picture keeps the last frame's fills and encodes them at the end, band by band,
// without the canvas's buffer; the movie reads the canvas on its own frames, every fourth.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pixels/canvas.h"
#include "outputs/output_file.h"

namespace lumen {

class GifMovie;

// The picture: a PNG of the last presented frame, written when the run ends; without a
// presented frame the path is left alone.
class PictureOutput : public OutputWriter {
public:
    bool open(const std::string& path, const char* name, uint64_t seed) override;
    bool wantsFrames() const override { return file_.isOpen(); }
    void frame(Canvas& canvas) override;  // keeps the frame's fills
    // Composites the kept fills as `canvas` (the one frame() was given) does, and writes them.
    void endRun(Canvas* canvas) override;
    void free() override;  // drops what is not written and lets the kept frame go

private:
    std::vector<CanvasFill> lastFrame_;  // the last presented frame's fills
    bool presentedAny_ = false;
};

// The movie: an animated GIF of the run, a frame every GifMovie::kFrameStep presented ones. A
// movie that cannot be written is dropped and its failure noted in output(); the run goes on.
class MovieOutput : public OutputWriter {
public:
    MovieOutput();
    ~MovieOutput() override;

    bool open(const std::string& path, const char* name, uint64_t seed) override;  // starts it
    bool wantsFrames() const override { return movie_ != nullptr; }
    void frame(Canvas& canvas) override;
    void endRun(Canvas* canvas) override;  // ends the movie
    void free() override;                  // drops what is not ended

private:
    // Notes the movie's failure and drops it.
    void drop();

    std::unique_ptr<GifMovie> movie_;
};

}  // namespace lumen
