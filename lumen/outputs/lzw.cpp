#include "outputs/lzw.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

namespace lumen {

namespace {

constexpr int kMinCodeSize = 8;
constexpr uint32_t kClear = 1u << kMinCodeSize;  // 256
constexpr uint32_t kEnd = kClear + 1;            // end of information
constexpr uint32_t kFirstString = kClear + 2;
constexpr uint32_t kCodes = 4096;                // 12 bits
constexpr uint32_t kStringsPerTable = kCodes - kFirstString;

// How many of indices[0, count) equal `index`, eight at a time where it can.
std::size_t runOf(const uint8_t* indices, std::size_t count, uint8_t index) {
    const uint64_t all = 0x0101010101010101u * index;
    std::size_t n = 0;
    for (; n + 8 <= count; n += 8) {
        uint64_t word;
        std::memcpy(&word, indices + n, 8);
        if (word != all) {
            if constexpr (std::endian::native == std::endian::little)
                return n + static_cast<std::size_t>(std::countr_zero(word ^ all) / 8);
            break;
        }
    }
    while (n < count && indices[n] == index) ++n;
    return n;
}

}  // namespace

std::size_t LzwWriter::bound(std::size_t count) {
    // Each index starts at most one code; a clear every kStringsPerTable codes, one at the
    // start, and the end: 12 bits each at most.
    const std::size_t codes = count + count / kStringsPerTable + 3;
    const std::size_t data = (codes * 12 + 7) / 8;
    return 1 + data + data / 255 + 2;  // code size, sub-block lengths, the last one and the end
}

void LzwWriter::reset() {
    std::fill(std::begin(longest_), std::end(longest_), uint16_t{1});
    next_ = kFirstString;
    width_ = kMinCodeSize + 1;
}

void LzwWriter::begin(uint8_t* out) {
    at_ = out;
    *at_++ = kMinCodeSize;
    blockStart_ = at_++;
    blockLength_ = 0;
    bits_ = 0;
    bitCount_ = 0;
    runLength_ = 0;
    rowRuns_ = 0;
    keptRuns_ = 0;
    reset();
    put(kClear, width_);
}

void LzwWriter::byte(uint8_t value) {
    *at_++ = value;
    if (++blockLength_ == 255) {  // a full sub-block: its length, and the next one's place
        *blockStart_ = 255;
        blockStart_ = at_++;
        blockLength_ = 0;
    }
}

void LzwWriter::word() {
    if (blockLength_ + 4 < 255) {
        const uint8_t bytes[4] = {static_cast<uint8_t>(bits_), static_cast<uint8_t>(bits_ >> 8),
                                  static_cast<uint8_t>(bits_ >> 16), static_cast<uint8_t>(bits_ >> 24)};
        std::memcpy(at_, bytes, 4);
        at_ += 4;
        blockLength_ += 4;
    } else {
        for (int k = 0; k < 4; ++k) byte(static_cast<uint8_t>(bits_ >> (8 * k)));
    }
    bits_ >>= 32;
    bitCount_ -= 32;
}

bool LzwWriter::nextCode() {
    // The decoder reads each code at the width of its table, one entry behind this one.
    if (next_++ == (1u << width_)) ++width_;
    if (next_ < kCodes) return false;
    put(kClear, width_);
    reset();
    return true;
}

void LzwWriter::flushRun(bool more) {
    const uint32_t index = runIndex_;
    uint16_t* const chain = runs_[index];
    std::size_t left = runLength_;
    runLength_ = 0;
    for (;;) {
        const uint32_t longest = longest_[index];
        const uint32_t length = left < longest ? static_cast<uint32_t>(left) : longest;
        put(length == 1 ? index : chain[length], width_);
        left -= length;
        if (left == 0) break;
        // The decoder's next entry is this run and one more of the index: the longest yet
        // (kept unless it is too long for the table of runs).
        if (length == longest && length + 1 < kLongestRun) {
            chain[length + 1] = static_cast<uint16_t>(next_);
            longest_[index] = static_cast<uint16_t>(length + 1);
        }
        nextCode();
    }
    if (more) nextCode();  // this run and the next index: an entry this writer never sends
}

void LzwWriter::add(const uint8_t* indices, std::size_t count) {
    for (std::size_t i = 0; i < count;) {
        const uint8_t index = indices[i];
        const std::size_t n = runOf(indices + i, count - i, index);
        run(index, n);
        i += n;
    }
}

void LzwWriter::fill(uint8_t index, std::size_t count) {
    if (count != 0) run(index, count);
}

void LzwWriter::endRow() {
    keptRuns_ = rowRuns_;
    rowRuns_ = 0;
}

bool LzwWriter::repeatRow() {
    const int runs = keptRuns_;
    if (runs > kRowRuns) return false;
    // The same runs, without reading the indices again.
    for (int r = 0; r < runs; ++r) {
        const uint32_t index = rowIndex_[r];
        if (runLength_ != 0 && index != runIndex_) flushRun(true);
        runIndex_ = index;
        runLength_ += rowLength_[r];
    }
    return true;
}

uint8_t* LzwWriter::end() {
    if (runLength_ != 0) flushRun(false);
    // The decoder adds an entry for the last code too before it reads the end.
    put(kEnd, next_ == (1u << width_) ? width_ + 1 : width_);
    for (; bitCount_ > 0; bitCount_ -= 8) {
        byte(static_cast<uint8_t>(bits_));
        bits_ >>= 8;
    }
    bits_ = 0;
    bitCount_ = 0;
    if (blockLength_ > 0) {
        *blockStart_ = static_cast<uint8_t>(blockLength_);
        *at_++ = 0;  // the empty sub-block after the last
    } else {
        *blockStart_ = 0;  // the place of an empty sub-block ends the data itself
    }
    return at_;
}

}  // namespace lumen
