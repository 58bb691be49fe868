// A zlib stream (RFC 1950) of deflate blocks (RFC 1951) with Huffman codes of their own, made
// for what the filtered rows of a picture of flat rectangles are: long runs of zero bytes
// between a few others. Its only repeats are those runs (copies of the byte before, distance 1);
// every other byte is a literal, so it costs little per byte and never looks back further.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumen {

class ZlibWriter {
public:
    // Starts the stream at the end of `out` (its header); the blocks and the checksum follow.
    explicit ZlibWriter(std::vector<uint8_t>& out);
    ZlibWriter(const ZlibWriter&) = delete;
    ZlibWriter& operator=(const ZlibWriter&) = delete;

    // The next byte of the data.
    void byte(uint8_t value) {
        if (value == 0) {
            ++zeros_;
            return;
        }
        flushZeros();
        unsummed_[unsummedCount_] = value;
        if (++unsummedCount_ == kSumBatch) sumBytes();
        push(value);
        lastZero_ = false;
    }
    // `count` zero bytes of the data.
    void zeros(std::size_t count) { zeros_ += count; }
    // Ends the data: the last block and the Adler-32 of the data. Call once, and nothing after.
    void finish();

    static constexpr std::size_t kBlockTokens = 1 << 16;  // literals and copies in one block

private:
    static constexpr std::size_t kSumBatch = 4096;  // bytes gathered for one adler32() call
    void flushZeros();
    void sumBytes();  // the gathered bytes into adler_
    void push(uint16_t token) {
        tokens_.push_back(token);
        if (tokens_.size() == kBlockTokens) block(false);
    }
    void block(bool last);
    void bits(uint32_t value, int count);

    std::vector<uint8_t>& out_;
    std::vector<uint16_t> tokens_;  // 0-255 a literal byte; 256 + n a copy of n bytes (3..258)
    std::size_t zeros_ = 0;         // zero bytes not yet sent
    bool lastZero_ = false;         // the data's last byte sent is a zero
    uint32_t adler_ = 1;            // Adler-32 of the data before unsummed_ (outputs/checksum.h)
    std::size_t unsummedCount_ = 0;
    uint8_t unsummed_[kSumBatch];   // the last bytes of the data, not zeros, not yet in adler_
    uint64_t bitBuffer_ = 0;        // bits not yet in out_, the first in the lowest bit
    int bitCount_ = 0;
};

// Lengths (1..limit, 0 for a symbol of frequency 0) of a Huffman code for freq[0..count), count
// <= 288, with at least two frequencies above 0 and limit >= 9.
void huffmanLengths(const uint32_t* freq, int count, int limit, uint8_t* lengths);

}  // namespace lumen
