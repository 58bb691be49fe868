// A PNG encoder that needs no library, for the builds without libpng.
#pragma once

#include <cstdint>
#include <vector>

namespace lumen {

// The whole file of width x height pixels 0xAARRGGBB (row-major, > 0 each) as an 8-bit RGBA PNG
// with stored (uncompressed) deflate blocks.
std::vector<uint8_t> encodePlainPng(const uint32_t* pixels, int width, int height);

}  // namespace lumen
