// The PNG encoder of every build: 8-bit RGBA, each row filtered by Up when it equals the row
// above (all zeros then) and by Sub otherwise (zeros wherever a pixel repeats the one on its
// left), compressed by ZlibWriter. Pictures of flat rectangles cost little more than reading
// their pixels once; any other picture is still a valid file, a little larger than its data.
#pragma once

#include <cstdint>
#include <vector>

#include "outputs/deflate.h"

namespace lumen {

// The encoder, fed row by row, so that a picture need not be in memory whole: rows(row, count)
// for the next `count` rows alike, from the top down, height rows in all.
class PngWriter {
public:
    PngWriter(int width, int height);  // canvas px, > 0 each
    // `count` (> 0) rows equal to `row` (width px); `row` must stay as it is until the next call.
    void rows(const uint32_t* row, int count);
    // The whole file, once all rows were given.
    std::vector<uint8_t> finish();

private:
    int width_, height_;
    std::vector<uint8_t> data_;     // the zlib stream
    ZlibWriter zlib_;
    const uint32_t* above_ = nullptr;  // the row before, while it is valid
};

}  // namespace lumen
