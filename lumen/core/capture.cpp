// PNG capture with libpng's simplified writer; the GIF movie with giflib's sequential writer.
#include "core/capture.h"

#include "core/canvas.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include <gif_lib.h>
#include <png.h>
#include <cstdio>

namespace lumen {

std::string writePng(std::FILE* out, const uint32_t* pixels, int width, int height) {
    if (out == nullptr) return "no file";
    if (pixels == nullptr || width <= 0 || height <= 0) return "no pixels";
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    // 0xAARRGGBB words are the bytes B, G, R, A in memory (little-endian).
    image.format = PNG_FORMAT_BGRA;
    errno = 0;
    const int ok = png_image_write_to_stdio(&image, out, 0, pixels,
                                            static_cast<png_int_32>(width) * 4, nullptr);
    std::string message;
    if (!ok) {
        message = image.message;
        if (errno != 0) message += std::string(" (") + std::strerror(errno) + ")";
    } else if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        message = std::strerror(errno != 0 ? errno : EIO);
    }
    png_image_free(&image);
    return message;
}

namespace {

constexpr int kRedLevels = 6;
constexpr int kGreenLevels = 7;
constexpr int kBlueLevels = 6;
constexpr unsigned kBackgroundIndex = kRedLevels * kGreenLevels * kBlueLevels;  // 252
constexpr uint32_t kMovieBackground = Canvas::kBackground;
constexpr unsigned char kLeaveInPlace = 1 << 2;  // graphics control: disposal method 1

// Nearest of `levels` evenly spaced levels over 0..255, for 8-bit c.
constexpr unsigned levelOf(unsigned c, unsigned levels) {
    return (c * (levels - 1) + 127u) / 255u;
}
constexpr unsigned levelValue(unsigned level, unsigned levels) {
    return (level * 255u * 2 + (levels - 1)) / (2 * (levels - 1));  // round(level * 255 / (n-1))
}


// Each channel's share of the palette index, per 8-bit value.
struct LevelTables {
    uint8_t r[256], g[256], b[256];
};
constexpr LevelTables makeLevelTables() {
    LevelTables t{};
    for (unsigned c = 0; c < 256; ++c) {
        t.r[c] = static_cast<uint8_t>(levelOf(c, kRedLevels) * (kGreenLevels * kBlueLevels));
        t.g[c] = static_cast<uint8_t>(levelOf(c, kGreenLevels) * kBlueLevels);
        t.b[c] = static_cast<uint8_t>(levelOf(c, kBlueLevels));
    }
    return t;
}
constexpr LevelTables kLevels = makeLevelTables();

// Palette index of a 0x..RRGGBB colour.
inline uint8_t indexOf(uint32_t rgb) {
    rgb &= 0xFFFFFFu;
    if (rgb == (kMovieBackground & 0xFFFFFFu)) return static_cast<uint8_t>(kBackgroundIndex);
    return static_cast<uint8_t>(kLevels.r[rgb >> 16] + kLevels.g[(rgb >> 8) & 0xFF] +
                                kLevels.b[rgb & 0xFF]);
}

}  // namespace

uint8_t GifMovie::paletteIndex(unsigned r, unsigned g, unsigned b) {
    return indexOf(((r & 0xFFu) << 16) | ((g & 0xFFu) << 8) | (b & 0xFFu));
}

uint32_t GifMovie::paletteColor(unsigned index) {
    if (index == kBackgroundIndex) return kMovieBackground;
    if (index > kBackgroundIndex) return 0xFF000000u;  // unused entries
    const unsigned r = levelValue(index / (kGreenLevels * kBlueLevels), kRedLevels);
    const unsigned g = levelValue(index / kBlueLevels % kGreenLevels, kGreenLevels);
    const unsigned b = levelValue(index % kBlueLevels, kBlueLevels);
    return 0xFF000000u | (r << 16) | (g << 8) | b;
}

GifMovie::GifMovie() : file_(nullptr) {}

GifMovie::~GifMovie() { close(); }

bool GifMovie::fail(const char* what, int code) {
    if (error_.empty()) {
        const char* reason = GifErrorString(code);
        error_ = std::string(what) + ": " + (reason != nullptr ? reason : "unknown error");
        if (code == D_GIF_ERR_OPEN_FAILED || code == E_GIF_ERR_OPEN_FAILED ||
            code == E_GIF_ERR_WRITE_FAILED || code == E_GIF_ERR_CLOSE_FAILED) {
            if (errno != 0) error_ += std::string(" (") + std::strerror(errno) + ")";
        }
    }
    return false;
}

bool GifMovie::open(std::FILE* out, int width, int height) {
    close();
    error_.clear();
    presented_ = 0;
    written_ = 0;
    if (out == nullptr) {
        error_ = "no file";
        return false;
    }
    if (width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0 || width > 65534 ||
        height > 65534) {
        error_ = "frame size must be even";
        return false;
    }
    width_ = width;
    height_ = height;
    const std::size_t cells = static_cast<std::size_t>(width / 2) * (height / 2);
    delete[] indices_;
    indices_ = new (std::nothrow) uint8_t[cells];
    if (indices_ == nullptr) {
        error_ = "out of memory";
        return false;
    }

    errno = 0;
    int code = 0;
    // giflib writes through our function into the caller's stream, so that write errors (which
    // giflib's own file writer drops) are seen.
    out_ = out;
    writeFailed_ = false;
    GifFileType* gif = EGifOpen(this, &GifMovie::writeBytes, &code);
    if (gif == nullptr) {
        out_ = nullptr;
        return fail("open", code);
    }
    file_ = gif;

    GifColorType colors[256];
    for (unsigned i = 0; i < 256; ++i) {
        const uint32_t c = paletteColor(i);
        colors[i].Red = static_cast<GifByteType>(c >> 16);
        colors[i].Green = static_cast<GifByteType>(c >> 8);
        colors[i].Blue = static_cast<GifByteType>(c);
    }
    ColorMapObject map{};
    map.ColorCount = 256;
    map.BitsPerPixel = 8;
    map.Colors = colors;
    EGifSetGifVersion(gif, true);
    if (EGifPutScreenDesc(gif, width / 2, height / 2, 8, static_cast<int>(kBackgroundIndex),
                          &map) == GIF_ERROR)
        return fail("header", gif->Error);
    // Loop forever (the application extension every viewer knows for animation).
    static const char kLoopApp[11] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
    static const unsigned char kLoopForever[3] = {1, 0, 0};
    if (EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
        EGifPutExtensionBlock(gif, 11, kLoopApp) == GIF_ERROR ||
        EGifPutExtensionBlock(gif, 3, kLoopForever) == GIF_ERROR ||
        EGifPutExtensionTrailer(gif) == GIF_ERROR)
        return fail("loop extension", gif->Error);
    return true;
}

bool GifMovie::present(const uint32_t* pixels) {
    CanvasRegion whole;
    whole.add(CanvasRect{0, 0, width_, height_});
    return present(pixels, whole);
}

bool GifMovie::present(const uint32_t* pixels, const CanvasRegion& changed) {
    if (file_ == nullptr || !error_.empty()) return false;
    const int index = presented_++;
    if (index % kFrameStep != 0) return true;
    GifFileType* gif = file_;

    const int outW = width_ / 2;
    const int outH = height_ / 2;
    // The box of cells whose index did change, narrowed while they are computed: only the cells
    // (2 x 2 px) that hold a changed pixel, every cell for the first frame.
    int left = outW, right = 0, top = outH, bottom = 0;
    const CanvasRect whole{0, 0, width_, height_};
    const int boxes = written_ > 0 ? changed.count : 1;
    for (int b = 0; b < boxes; ++b) {
        const CanvasRect& box = written_ > 0 ? changed.boxes[b] : whole;
        const int cx0 = std::clamp(box.x0, 0, width_) / 2;
        const int cy0 = std::clamp(box.y0, 0, height_) / 2;
        const int cx1 = (std::clamp(box.x1, 0, width_) + 1) / 2;
        const int cy1 = (std::clamp(box.y1, 0, height_) + 1) / 2;
        for (int y = cy0; y < cy1; ++y) {
            const uint32_t* upper = pixels + static_cast<std::size_t>(2 * y) * width_;
            const uint32_t* lower = upper + width_;
            uint8_t* out = indices_ + static_cast<std::size_t>(y) * outW;
            int rowLeft = outW, rowRight = 0;
            for (int x = cx0; x < cx1; ++x) {
                // 2 x 2 box average of all four channels at once: the even bytes (B, R) and the
                // odd bytes (G, A) each sum in 16-bit halves (4 * 255 fits), then round and
                // divide by 4.
                const uint32_t p0 = upper[2 * x], p1 = upper[2 * x + 1];
                const uint32_t p2 = lower[2 * x], p3 = lower[2 * x + 1];
                constexpr uint32_t kEven = 0x00FF00FFu;
                const uint32_t even = (p0 & kEven) + (p1 & kEven) + (p2 & kEven) + (p3 & kEven);
                const uint32_t odd = ((p0 >> 8) & kEven) + ((p1 >> 8) & kEven) + ((p2 >> 8) & kEven) +
                                     ((p3 >> 8) & kEven);
                const uint32_t average = (((even + 0x00020002u) >> 2) & kEven) |
                                         ((((odd + 0x00020002u) >> 2) & kEven) << 8);
                const uint8_t cell = indexOf(average);
                if (written_ == 0 || cell != out[x]) {
                    rowLeft = std::min(rowLeft, x);
                    rowRight = x + 1;
                }
                out[x] = cell;
            }
            if (rowRight > rowLeft) {
                left = std::min(left, rowLeft);
                right = std::max(right, rowRight);
                top = std::min(top, y);
                bottom = std::max(bottom, y + 1);
            }
        }
    }
    if (right <= left) {  // nothing changed: one unchanged cell keeps the frame's time
        left = top = 0;
        right = bottom = 1;
    }

    // Graphics control: left in place under the next frame, delay in centiseconds, no
    // transparency.
    const unsigned char control[4] = {kLeaveInPlace, static_cast<unsigned char>(kDelayCs & 0xFF),
                                      static_cast<unsigned char>(kDelayCs >> 8), 0};
    errno = 0;
    if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control) == GIF_ERROR)
        return fail("frame", gif->Error);
    if (EGifPutImageDesc(gif, left, top, right - left, bottom - top, false, nullptr) == GIF_ERROR)
        return fail("frame", gif->Error);
    for (int y = top; y < bottom; ++y) {
        if (EGifPutLine(gif, indices_ + static_cast<std::size_t>(y) * outW + left, right - left) ==
            GIF_ERROR)
            return fail("frame", gif->Error);
    }
    if (writeFailed_) return fail("frame", E_GIF_ERR_WRITE_FAILED);
    ++written_;
    return true;
}

bool GifMovie::close() {
    if (file_ != nullptr) {
        int code = 0;
        errno = 0;
        const int result = EGifCloseFile(file_, &code);
        file_ = nullptr;
        if (result == GIF_ERROR) fail("close", code);
    }
    if (out_ != nullptr) {
        errno = 0;
        const bool bad = writeFailed_ || std::fflush(out_) != 0 || std::ferror(out_) != 0;
        out_ = nullptr;
        if (bad) fail("close", E_GIF_ERR_WRITE_FAILED);
    }
    delete[] indices_;
    indices_ = nullptr;
    return error_.empty();
}

int GifMovie::writeBytes(GifFileType* gif, const GifByteType* bytes, int count) {
    auto* self = static_cast<GifMovie*>(gif->UserData);
    if (self->writeFailed_ || count <= 0) return self->writeFailed_ ? 0 : count;
    const std::size_t n = std::fwrite(bytes, 1, static_cast<std::size_t>(count), self->out_);
    if (n != static_cast<std::size_t>(count)) self->writeFailed_ = true;
    return static_cast<int>(n);
}

}  // namespace lumen
