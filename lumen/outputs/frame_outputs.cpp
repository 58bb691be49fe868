#include "outputs/frame_outputs.h"

#include "pixels/canvas.h"
#include "outputs/gif.h"

namespace lumen {

bool PictureOutput::open(const std::string& path, const char* name, uint64_t seed) {
    if (!OutputWriter::open(path, name, seed)) return false;
    lastFrame_.reserve(Canvas::kReservedFills);
    return true;
}

void PictureOutput::frame(Canvas& canvas) {
    lastFrame_ = canvas.fills();  // keeps its room: no allocation
    presentedAny_ = true;
}

void PictureOutput::endRun(Canvas* canvas) {
    if (!file_.isOpen()) return;
    if (presentedAny_ && canvas != nullptr) {
        const std::string error = writePng(file_.stream(), *canvas, lastFrame_);
        if (!error.empty()) file_.fail(error);
        file_.commit();
    } else {
        file_.discard();  // no frame was presented: nothing to show, the path is left alone
    }
}

void PictureOutput::free() {
    file_.discard();
    lastFrame_.clear();
    lastFrame_.shrink_to_fit();
}

MovieOutput::MovieOutput() = default;
MovieOutput::~MovieOutput() = default;

bool MovieOutput::open(const std::string& path, const char* name, uint64_t seed) {
    if (!OutputWriter::open(path, name, seed)) return false;
    movie_ = std::make_unique<GifMovie>();
    if (!movie_->open(file_.stream(), Canvas::kWidth, Canvas::kHeight)) {
        drop();
        return false;
    }
    return true;
}

void MovieOutput::drop() {
    file_.fail(movie_->error());
    movie_.reset();
    file_.discard();
}

void MovieOutput::frame(Canvas& canvas) {
    // A frame of the movie is made from the frame's fills, band by band, without the canvas's
    // buffer. One that cannot be written is noted; the run goes on and ends failed.
    if (!movie_->present(canvas, canvas.fills())) drop();
}

void MovieOutput::endRun(Canvas*) {
    if (!movie_) return;
    if (!movie_->close()) file_.fail(movie_->error());
    movie_.reset();
    file_.commit();
}

void MovieOutput::free() {
    movie_.reset();
    file_.discard();
}

}  // namespace lumen
