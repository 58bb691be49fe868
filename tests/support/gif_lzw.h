// A reader of GIF LZW image data written for the tests, independent of Lumen's writer: unlike a
// viewer, it reads every code to the end-of-information code and checks the sub-blocks after it.
#pragma once

#include <cstdint>
#include <vector>

namespace support {

// Decodes [at, end): the code size byte (8), sub-blocks, the empty one as the last byte. False
// (with `out` partly filled) for anything else: a bad code, a missing end code, a stray byte.
bool readGifLzw(const uint8_t* at, const uint8_t* end, std::vector<uint8_t>& out);

}  // namespace support
