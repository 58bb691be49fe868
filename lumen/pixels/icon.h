// The .ico decoder: the picture a window backend hands to the window system when the Init
// record's icon is an .ico file image (lumen::IconFile).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumen {

// One image of an .ico file: 0xAARRGGBB, row-major, top row first.
struct IconImage {
    int width = 0;   // px
    int height = 0;  // px
    std::vector<uint32_t> pixels;
};

// Decodes the 32-bpp bitmap entry of `size` x `size` px, or else the largest one; false if the
// file holds none that is whole (PNG and other depths are skipped).
bool decodeIcon(const uint8_t* data, std::size_t bytes, int size, IconImage& out);

}  // namespace lumen
