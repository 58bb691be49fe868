#include "support/gif_lzw.h"

namespace support {

bool readGifLzw(const uint8_t* at, const uint8_t* end, std::vector<uint8_t>& out) {
    out.clear();
    if (at >= end || *at != 8) return false;
    std::vector<uint8_t> bytes;
    for (++at; at < end && *at != 0; at += 1 + *at) {
        if (end - at < 1 + *at) return false;
        bytes.insert(bytes.end(), at + 1, at + 1 + *at);
    }
    if (at + 1 != end) return false;  // the empty sub-block must be the last byte
    std::vector<uint16_t> prefix(4096);
    std::vector<uint8_t> suffix(4096), first(4096), string;
    for (int i = 0; i < 256; ++i) suffix[i] = first[i] = static_cast<uint8_t>(i);
    int width = 9, next = 258, previous = -1;
    std::size_t bit = 0;
    for (;;) {
        if (bit + static_cast<std::size_t>(width) > bytes.size() * 8) return false;  // no end code
        int code = 0;
        for (int k = 0; k < width; ++k, ++bit) code |= ((bytes[bit / 8] >> (bit % 8)) & 1) << k;
        if (code == 256) {
            width = 9;
            next = 258;
            previous = -1;
            continue;
        }
        if (code == 257) break;
        if (previous < 0) {
            if (code > 255) return false;
            out.push_back(static_cast<uint8_t>(code));
            previous = code;
            continue;
        }
        if (code > next || (code == next && next == 4096)) return false;
        const int known = code < next ? code : previous;
        string.clear();
        int c = known;
        for (; c >= 256; c = prefix[c]) string.push_back(suffix[c]);
        string.push_back(static_cast<uint8_t>(c));
        out.insert(out.end(), string.rbegin(), string.rend());
        if (code == next) out.push_back(first[previous]);
        if (next < 4096) {
            prefix[next] = static_cast<uint16_t>(previous);
            suffix[next] = first[known];
            first[next] = first[previous];
            if (++next == (1 << width) && width < 12) ++width;
        }
        previous = code;
    }
    // Nothing but the bits that fill the last byte may follow the end code.
    return (bytes.size() * 8 - bit) < 8;
}

}  // namespace support
