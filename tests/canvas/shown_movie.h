// The frames a viewer shows of one of Lumen's movies, read with giflib: each image drawn over
// the frame before, its transparent cells leaving what was there. Shared by the capture tests.
#pragma once

#include <gtest/gtest.h>

#include <gif_lib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace canvas_test {

struct ShownMovie {
    int width = 0, height = 0;                 // the logical screen, cells
    std::vector<GifImageDesc> boxes;           // each frame's image: its place and size
    std::vector<std::vector<uint8_t>> frames;  // each frame as shown, width x height indices
    std::vector<int> opaque;                   // cells each image sets (not transparent)
};

// Reads the movie at `path` into `movie`. Fails unless every image lies inside the screen, is
// left in place (disposal 1) after its delay of GifMovie::kDelayCs, and the first sets every
// cell of the screen.
testing::AssertionResult readShownMovie(const std::string& path, ShownMovie& movie);

}  // namespace canvas_test
