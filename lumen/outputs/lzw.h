// GIF's LZW compression of 8-bit palette indices (minimum code size 8, codes of 9 to 12 bits,
// a clear code whenever the table is full), written as an image's data: the code size byte,
// sub-blocks of at most 255 bytes and the empty one that ends them. It sends only runs of one
// index: each run as the longest runs of that index the table has, which grow by one each
// time a run is longer (the decoder's table gets an entry for every code, and the writer
// keeps only those). A movie of flat rectangles is mostly long runs, so it costs one step per
// code, not one per index, and no search; any other image is still valid, at most 12 bits an
// index. Runs get codes up to 511 long (longer ones take several): the table of runs is then
// 256 KiB, and made by `new LzwWriter` (no braces) it is not cleared, so that only the pages
// that runs reach are ever touched.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumen {

class LzwWriter {
public:
    LzwWriter() = default;
    LzwWriter(const LzwWriter&) = delete;
    LzwWriter& operator=(const LzwWriter&) = delete;

    // The most bytes that begin() .. end() write for `count` indices.
    static std::size_t bound(std::size_t count);

    // Starts an image's data at `out`, which has room for bound() of all its indices.
    void begin(uint8_t* out);
    // The next `count` indices of the image (row by row; any split).
    void add(const uint8_t* indices, std::size_t count);
    // The next `count` indices, all `index`.
    void fill(uint8_t index, std::size_t count);
    // Ends a row: the runs given by add() and fill() since the last endRow() are kept for
    // repeatRow() (at most kRowRuns of them).
    void endRow();
    // Right after endRow() or repeatRow(): the last row's runs once more, as a row of its own;
    // false (nothing sent) if it had more runs than are kept: the caller sends them again.
    bool repeatRow();
    // Ends the data; returns the end of what was written.
    uint8_t* end();

private:
    void reset();     // an empty table
    bool nextCode();  // the decoder's next entry; true if the table was full and is cleared
    void flushRun(bool more);  // sends the pending run; `more`: another index follows it
    void put(uint32_t code, int width) {
        bits_ |= uint64_t{code} << bitCount_;
        bitCount_ += width;
        if (bitCount_ >= 32) word();
    }
    void run(uint32_t index, std::size_t length) {  // the next `length` indices are `index`
        if (runLength_ != 0 && index != runIndex_) flushRun(true);
        if (rowRuns_ < kRowRuns) {
            rowIndex_[rowRuns_] = static_cast<uint8_t>(index);
            rowLength_[rowRuns_] = static_cast<uint32_t>(length);
        }
        ++rowRuns_;
        runIndex_ = index;
        runLength_ += length;
    }
    void word();               // four bytes of bits_ out
    void byte(uint8_t value);  // one byte out, and a new sub-block after each 255
    static constexpr int kRowRuns = 1024;  // runs of a row kept for repeatRow()
    uint8_t rowIndex_[kRowRuns];           // their indices
    uint32_t rowLength_[kRowRuns];         // and lengths
    int rowRuns_ = 0;                      // runs of the row being given; more than kRowRuns: not kept
    int keptRuns_ = 0;                     // runs of the last row ended, kept in the same arrays
    static constexpr int kLongestRun = 512;  // runs with a code of their own are shorter
    uint16_t runs_[256][kLongestRun];  // [index][n]: the code of n times index, n in 2..longest_
    uint16_t longest_[256];            // per index, the longest run with a code (1: the index)
    uint32_t next_ = 0;        // the next code the decoder's table gives out
    int width_ = 0;            // bits of the next code
    uint32_t runIndex_ = 0;    // the run read but not yet sent: its index
    std::size_t runLength_ = 0;  // and its length, 0 when there is none
    uint64_t bits_ = 0;        // bits not yet out, the first in the lowest bit
    int bitCount_ = 0;
    uint8_t* at_ = nullptr;
    uint8_t* blockStart_ = nullptr;  // the length byte of the sub-block being written
    int blockLength_ = 0;
};

}  // namespace lumen
