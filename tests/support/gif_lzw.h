// GIF data read back through giflib for the encoder tests and the encoder fuzz target: LZW
// image data put in a one-image GIF in memory, and giflib reading it, as a viewer does or
// strictly, to the end code and what follows it.
#pragma once

#include <gif_lib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/no_copy.h"

namespace support {

// A GIF89a file of one width x height image (1..65535 each, the screen's size too; a global
// palette of 256 entries, no extensions) whose image data is [at, end): the code size byte, the
// sub-blocks and the empty one.
std::vector<uint8_t> gifAround(const uint8_t* at, const uint8_t* end, int width, int height);

// A GIF file in memory (kept by the caller while this lives) opened by giflib, closed with this.
class GifReader : test_support::NoCopy {
public:
    explicit GifReader(const std::vector<uint8_t>& file);
    ~GifReader();

    GifFileType* gif() const { return gif_; }  // null if giflib refused the file
    std::string error() const;                 // giflib's words for its last error
    std::size_t unread() const { return file_->size() - at_; }  // bytes giflib has not read

private:
    static int read(GifFileType* gif, GifByteType* buffer, int n);
    const std::vector<uint8_t>* file_;
    std::size_t at_ = 0;
    int openError_ = 0;
    GifFileType* gif_ = nullptr;
};

// Decodes the image data [at, end) (code size 8) through giflib, pixel by pixel, to its end
// code: the indices before it into `out`. False (with `out` partly filled) if giflib finds a
// bad code or no end code, a sub-block follows the one that holds the end code, or the data's
// last byte holds no bit of the end code (found by giflib reading the data without that byte).
bool readGifLzw(const uint8_t* at, const uint8_t* end, std::vector<uint8_t>& out);

}  // namespace support
