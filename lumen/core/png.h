// The PNG encoder of every build: 8-bit RGBA, each row filtered by Up when it equals the row
// above (all zeros then) and by Sub otherwise (zeros wherever a pixel repeats the one on its
// left), compressed by ZlibWriter. Pictures of flat rectangles cost little more than reading
// their pixels once; any other picture is still a valid file, a little larger than its data.
#pragma once

#include <cstdint>
#include <vector>

namespace lumen {

// The whole file of width x height pixels 0xAARRGGBB (row-major, no padding; width and height
// > 0, the raw image within memory).
std::vector<uint8_t> encodePng(const uint32_t* pixels, int width, int height);

}  // namespace lumen
