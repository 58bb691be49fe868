// Lumen's picture and movie encoders given a frame as a buffer of pixels, as the tests, the
// benchmarks and the encoder fuzz target have their frames; a run gives them a canvas's fills.
// Pixels are 0xAARRGGBB, row-major, no padding. Header only: users link lumen_core.
#pragma once

#include "os/os.h"
#include "outputs/gif.h"
#include "outputs/png.h"
#include "pixels/canvas.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace support {

// The PNG file of width x height pixels (> 0 each), given to the encoder row by row.
inline std::vector<uint8_t> encodePng(const uint32_t* pixels, int width, int height) {
    lumen::PngWriter png(width, height);
    for (int y = 0; y < height; ++y) png.rows(pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width), 1);
    return png.finish();
}

// The same written to `out`: "" on success, else the reason in words.
inline std::string writePng(std::FILE* out, const uint32_t* pixels, int width, int height) {
    if (out == nullptr) return "no file";
    const std::vector<uint8_t> file = encodePng(pixels, width, height);
    return lumen::os::writeAll(out, file.data(), file.size());
}

// One presented frame of Canvas::kWidth x kHeight pixels to `movie` (opened at that size), the
// boxes of `changed` holding every pixel that differs from the previous movie frame's; `pixels`
// may be null when movie.frameDue() is false. Rows alike go as one band.
inline bool presentPixels(lumen::GifMovie& movie, const uint32_t* pixels, const lumen::CanvasRegion& changed) {
    constexpr int kWidth = lumen::Canvas::kWidth;
    return movie.present(changed, [pixels](const lumen::CanvasRect& box, const lumen::Canvas::RowSink& sink) {
        const std::size_t bytes = static_cast<std::size_t>(box.x1 - box.x0) * sizeof(uint32_t);
        for (int y = box.y0; y < box.y1;) {
            const uint32_t* row = pixels + static_cast<std::size_t>(y) * kWidth + box.x0;
            int count = 1;
            while (y + count < box.y1 && std::memcmp(row + static_cast<std::size_t>(count) * kWidth, row, bytes) == 0)
                ++count;
            sink(row, count);
            y += count;
        }
    });
}

// The same with every pixel counted as changed.
inline bool presentPixels(lumen::GifMovie& movie, const uint32_t* pixels) {
    lumen::CanvasRegion whole;
    whole.add(lumen::CanvasRect{0, 0, lumen::Canvas::kWidth, lumen::Canvas::kHeight});
    return presentPixels(movie, pixels, whole);
}

}  // namespace support
