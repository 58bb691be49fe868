#include "outputs/frame_outputs.h"

#include "pixels/canvas.h"
#include "outputs/gif.h"

namespace lumen {

CaptureSink::CaptureSink() = default;
CaptureSink::~CaptureSink() = default;

bool CaptureSink::open(const std::optional<std::string>& picture,
                       const std::optional<std::string>& movie, std::string& error) {
    return (!picture || openPicture(*picture, error)) && (!movie || openMovie(*movie, error));
}

bool CaptureSink::openPicture(const std::string& path, std::string& error) {
    if (!picture_.open(path, "picture")) {
        error = picture_.error();
        return false;
    }
    lastFrame_.reserve(Canvas::kReservedFills);
    return true;
}

bool CaptureSink::openMovie(const std::string& path, std::string& error) {
    if (!movieFile_.open(path, "movie")) {
        error = movieFile_.error();
        return false;
    }
    movie_ = std::make_unique<GifMovie>();
    if (!movie_->open(movieFile_.stream(), Canvas::kWidth, Canvas::kHeight)) {
        movieFile_.fail(movie_->error());
        movie_.reset();
        error = movieFile_.error();
        movieFile_.discard();
        return false;
    }
    return true;
}

void CaptureSink::frame(Canvas& canvas) {
    if (movie_) {
        // A frame of the movie is made from the frame's fills, band by band, without the
        // canvas's buffer.
        if (!movie_->present(canvas, canvas.fills())) {
            // Noted; the run goes on and ends failed.
            movieFile_.fail(movie_->error());
            movie_.reset();
            movieFile_.discard();
        }
    }
    if (picture_.isOpen()) lastFrame_ = canvas.fills();  // keeps its room: no allocation
    presentedAny_ = true;
}

void CaptureSink::finish(Canvas* canvas) {
    if (finished_) return;
    finished_ = true;
    if (picture_.isOpen()) {
        if (presentedAny_ && canvas != nullptr) {
            const std::string error = writePng(picture_.stream(), *canvas, lastFrame_);
            if (!error.empty()) picture_.fail(error);
            picture_.commit();
        } else {
            picture_.discard();  // no frame was presented: nothing to show, the path is left alone
        }
    }
    if (movie_) {
        if (!movie_->close()) movieFile_.fail(movie_->error());
        movie_.reset();
        movieFile_.commit();
    }
}

void CaptureSink::close() {
    movie_.reset();
    picture_.discard();
    movieFile_.discard();
    lastFrame_.clear();
    lastFrame_.shrink_to_fit();
}

}  // namespace lumen
