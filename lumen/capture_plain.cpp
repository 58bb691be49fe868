// Capture where there is no libpng or giflib (Windows, the web): the picture comes from the plain
// PNG encoder and goes out through the platform's writer, so a failure carries the system's
// reason; LUMEN_MOVIE is not available and says so when opened.
#include <string>
#include <vector>

#include "core/capture.h"
#include "core/os.h"
#include "core/png_plain.h"

namespace lumen {

std::string writePng(std::FILE* out, const uint32_t* pixels, int width, int height) {
    if (out == nullptr) return "no file";
    if (pixels == nullptr || width <= 0 || height <= 0) return "no pixels";
    const std::vector<uint8_t> file = encodePlainPng(pixels, width, height);
    return os::writeAll(out, file.data(), file.size());
}

GifMovie::GifMovie() : file_(nullptr) {}

GifMovie::~GifMovie() { close(); }

bool GifMovie::fail(const char* what, int) {
    if (error_.empty()) error_ = what;
    return false;
}

bool GifMovie::open(std::FILE*, int width, int height) {
    error_.clear();
    width_ = width;
    height_ = height;
    presented_ = 0;
    written_ = 0;
    return fail("this build has no movie writer", 0);
}

bool GifMovie::present(const uint32_t*) { return false; }

bool GifMovie::present(const uint32_t*, const CanvasRegion&) { return false; }

bool GifMovie::close() { return error_.empty(); }

}  // namespace lumen
