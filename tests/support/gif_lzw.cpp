#include "support/gif_lzw.h"

#include <algorithm>
#include <cstring>

namespace support {

namespace {

// The size a strict read declares for the image: more pixels than any data of the tests holds,
// so that giflib reads codes until it meets the end code.
constexpr int kStrictSide = 4096;

// giflib's pixels of the image of `reader`, one at a time into `out`, until it fails: its error
// (D_GIF_ERR_EOF_TOO_SOON when it met the end code), 0 if it gave every pixel.
int pixelsToError(GifReader& reader, std::vector<uint8_t>& out) {
    GifFileType* gif = reader.gif();
    if (gif == nullptr) return D_GIF_ERR_OPEN_FAILED;
    GifRecordType type;
    if (DGifGetRecordType(gif, &type) != GIF_OK) return gif->Error;
    if (type != IMAGE_DESC_RECORD_TYPE) return D_GIF_ERR_WRONG_RECORD;
    if (DGifGetImageDesc(gif) != GIF_OK) return gif->Error;
    const long pixels = long{gif->Image.Width} * gif->Image.Height;
    for (long i = 0; i < pixels; ++i) {
        GifPixelType pixel = 0;
        if (DGifGetLine(gif, &pixel, 1) != GIF_OK) return gif->Error;
        out.push_back(pixel);
    }
    return 0;
}

}  // namespace

std::vector<uint8_t> gifAround(const uint8_t* at, const uint8_t* end, int width, int height) {
    const auto w0 = static_cast<uint8_t>(width), w1 = static_cast<uint8_t>(width >> 8);
    const auto h0 = static_cast<uint8_t>(height), h1 = static_cast<uint8_t>(height >> 8);
    std::vector<uint8_t> file = {'G', 'I', 'F', '8', '9', 'a', w0, w1, h0, h1, 0xF7, 0, 0};
    for (int i = 0; i < 256; ++i)
        file.insert(file.end(), {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7)});
    file.insert(file.end(), {0x2C, 0, 0, 0, 0, w0, w1, h0, h1, 0});
    file.insert(file.end(), at, end);
    file.push_back(0x3B);
    return file;
}

GifReader::GifReader(const std::vector<uint8_t>& file) : file_(&file) {
    gif_ = DGifOpen(this, &GifReader::read, &openError_);
}

GifReader::~GifReader() {
    int error = 0;
    if (gif_ != nullptr) DGifCloseFile(gif_, &error);
}

std::string GifReader::error() const {
    const char* text = GifErrorString(gif_ != nullptr ? gif_->Error : openError_);
    return text != nullptr ? text : "no error";
}

int GifReader::read(GifFileType* gif, GifByteType* buffer, int n) {
    auto* self = static_cast<GifReader*>(gif->UserData);
    const std::size_t count = std::min(static_cast<std::size_t>(n), self->unread());
    std::memcpy(buffer, self->file_->data() + self->at_, count);
    self->at_ += count;
    return static_cast<int>(count);
}

bool readGifLzw(const uint8_t* at, const uint8_t* end, std::vector<uint8_t>& out) {
    out.clear();
    if (at >= end || *at != 8) return false;
    const std::vector<uint8_t> file = gifAround(at, end, kStrictSide, kStrictSide);
    GifReader reader(file);
    if (pixelsToError(reader, out) != D_GIF_ERR_EOF_TOO_SOON) return false;
    // The end code's sub-block is the last: the empty one follows it, then the file's trailer.
    GifByteType* block = nullptr;
    GifRecordType type;
    if (DGifGetCodeNext(reader.gif(), &block) != GIF_OK || block != nullptr) return false;
    if (DGifGetRecordType(reader.gif(), &type) != GIF_OK || type != TERMINATE_RECORD_TYPE || reader.unread() != 0)
        return false;
    // Without the last byte of the last sub-block (and that sub-block if it held only that
    // byte) giflib must miss the end code.
    std::vector<uint8_t> data(at, end);
    std::size_t last = 0;
    for (std::size_t i = 1; i < data.size() && data[i] != 0; i += 1u + data[i]) last = i;
    if (last == 0) return false;
    if (data[last] == 1) {
        data.erase(data.begin() + static_cast<long>(last), data.begin() + static_cast<long>(last) + 2);
    } else {
        data.erase(data.begin() + static_cast<long>(last + data[last]));
        --data[last];
    }
    const std::vector<uint8_t> shorter = gifAround(data.data(), data.data() + data.size(), kStrictSide, kStrictSide);
    GifReader cut(shorter);
    std::vector<uint8_t> ignored;
    return pixelsToError(cut, ignored) != D_GIF_ERR_EOF_TOO_SOON;
}

}  // namespace support
