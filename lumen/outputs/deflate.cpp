#include "outputs/deflate.h"

#include <algorithm>
#include <array>

#include "outputs/checksum.h"

namespace lumen {

namespace {

constexpr int kEndOfBlock = 256;
constexpr int kLiteralCodes = 286;   // 0-255 bytes, 256 the block's end, 257-285 copy lengths
constexpr int kDistanceCodes = 2;    // distance 1 (code 0), and code 1 so that the code is whole
constexpr int kMaxBits = 15;         // longest code of the literals and lengths
constexpr int kMaxLengthBits = 7;    // longest code of the code lengths
constexpr int kMinCopy = 3, kMaxCopy = 258;

// Copy lengths: the symbol of each (257..285), its extra bits and the value they carry.
struct CopyCode {
    uint16_t symbol;
    uint8_t extraBits;
    uint8_t extra;
};
struct CopyCodes {
    CopyCode of[kMaxCopy + 1];
};
constexpr CopyCodes makeCopyCodes() {
    constexpr int base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                              31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    constexpr int extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    CopyCodes c{};
    for (int i = 0; i < 29; ++i) {
        const int last = i == 28 ? kMaxCopy : std::min(base[i] + (1 << extra[i]) - 1, kMaxCopy - 1);
        for (int n = base[i]; n <= last; ++n)
            c.of[n] = CopyCode{static_cast<uint16_t>(257 + i), static_cast<uint8_t>(extra[i]),
                               static_cast<uint8_t>(n - base[i])};
    }
    return c;
}
constexpr CopyCodes kCopy = makeCopyCodes();

// The order in which the code lengths' own code lengths are sent.
constexpr uint8_t kLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Canonical codes for `lengths`, bit-reversed: deflate sends a code's first bit first, and
// the writer's buffer fills from the lowest bit.
void canonicalCodes(const uint8_t* lengths, int count, uint16_t* codes) {
    int perLength[kMaxBits + 1] = {};
    for (int i = 0; i < count; ++i) ++perLength[lengths[i]];
    perLength[0] = 0;
    uint32_t next[kMaxBits + 2] = {};
    uint32_t code = 0;
    for (int bits = 1; bits <= kMaxBits; ++bits) {
        code = (code + static_cast<uint32_t>(perLength[bits - 1])) << 1;
        next[bits] = code;
    }
    for (int i = 0; i < count; ++i) {
        const int n = lengths[i];
        if (n == 0) continue;
        const uint32_t c = next[n]++;
        uint32_t reversed = 0;
        for (int k = 0; k < n; ++k) reversed |= ((c >> k) & 1u) << (n - 1 - k);
        codes[i] = static_cast<uint16_t>(reversed);
    }
}

}  // namespace

void huffmanLengths(const uint32_t* freq, int count, int limit, uint8_t* lengths) {
    std::array<uint32_t, 288> weight{};
    std::array<int, 288> symbols{};
    int n = 0;
    for (int i = 0; i < count; ++i) {
        lengths[i] = 0;
        weight[i] = freq[i];
        if (freq[i] != 0) symbols[n++] = i;
    }
    // Two queues: the leaves by weight, then the inner nodes in the order they are made (their
    // weights only grow). A node's parent always comes after it.
    std::array<uint64_t, 2 * 288> node{};
    std::array<int, 2 * 288> parent{};
    std::array<uint8_t, 2 * 288> depth{};
    for (;;) {
        std::sort(symbols.begin(), symbols.begin() + n, [&](int x, int y) {
            return weight[x] != weight[y] ? weight[x] < weight[y] : x < y;
        });
        for (int i = 0; i < n; ++i) node[i] = weight[symbols[i]];
        int leaf = 0, inner = n;
        for (int made = n; made < 2 * n - 1; ++made) {
            int pick[2];
            for (int& p : pick) p = leaf < n && (inner >= made || node[leaf] <= node[inner]) ? leaf++ : inner++;
            node[made] = node[pick[0]] + node[pick[1]];
            parent[pick[0]] = parent[pick[1]] = made;
        }
        depth[2 * n - 2] = 0;
        int deepest = 0;
        for (int i = 2 * n - 3; i >= 0; --i) {
            depth[i] = static_cast<uint8_t>(depth[parent[i]] + 1);
            deepest = std::max<int>(deepest, depth[i]);
        }
        if (deepest <= limit) {
            for (int i = 0; i < n; ++i) lengths[symbols[i]] = depth[i];
            return;
        }
        // Too deep: flatten the frequencies (halved, none below 1) and build again; all equal,
        // the tree is balanced, within the limit.
        for (int i = 0; i < n; ++i) weight[symbols[i]] = (weight[symbols[i]] >> 1) | 1u;
    }
}

ZlibWriter::ZlibWriter(std::vector<uint8_t>& out) : out_(out) {
    out_.push_back(0x78);  // deflate, 32 KiB window
    out_.push_back(0x01);  // no dictionary; header check: 0x7801 is a multiple of 31
    tokens_.reserve(kBlockTokens);
}

void ZlibWriter::sumBytes() {
    adler_ = adler32(adler_, unsummed_, unsummedCount_);
    unsummedCount_ = 0;
}

void ZlibWriter::flushZeros() {
    std::size_t n = zeros_;
    if (n == 0) return;
    zeros_ = 0;
    sumBytes();
    adler_ = adler32Zeros(adler_, n);
    if (!lastZero_) {  // the first zero is a literal, the rest copies of the byte before
        push(0);
        --n;
        lastZero_ = true;
    }
    while (n >= kMinCopy) {
        // A rest of 1 or 2 could be no copy: leave 3 for the last.
        const std::size_t copy = n <= kMaxCopy ? n : n - kMaxCopy < kMinCopy ? n - kMinCopy : kMaxCopy;
        push(static_cast<uint16_t>(256 + copy));
        n -= copy;
    }
    for (; n > 0; --n) push(0);
}

void ZlibWriter::bits(uint32_t value, int count) {
    bitBuffer_ |= uint64_t{value} << bitCount_;
    bitCount_ += count;
    if (bitCount_ >= 32) {
        const uint8_t word[4] = {static_cast<uint8_t>(bitBuffer_), static_cast<uint8_t>(bitBuffer_ >> 8),
                                 static_cast<uint8_t>(bitBuffer_ >> 16), static_cast<uint8_t>(bitBuffer_ >> 24)};
        out_.insert(out_.end(), word, word + 4);
        bitBuffer_ >>= 32;
        bitCount_ -= 32;
    }
}

void ZlibWriter::block(bool last) {
    uint32_t freq[kLiteralCodes] = {};
    uint32_t copies = 0;
    for (const uint16_t t : tokens_) {
        if (t < 256) {
            ++freq[t];
        } else {
            ++freq[kCopy.of[t - 256].symbol];
            ++copies;
        }
    }
    freq[kEndOfBlock] = 1;
    if (tokens_.empty()) freq[0] = 1;  // a code needs two symbols
    const uint32_t distanceFreq[kDistanceCodes] = {copies + 1, 1};

    // Both codes' lengths in one sequence, as the header sends them.
    uint8_t lengths[kLiteralCodes + kDistanceCodes];
    huffmanLengths(freq, kLiteralCodes, kMaxBits, lengths);
    int literalCount = kLiteralCodes;
    while (literalCount > 257 && lengths[literalCount - 1] == 0) --literalCount;
    huffmanLengths(distanceFreq, kDistanceCodes, kMaxBits, lengths + literalCount);
    const int lengthCount = literalCount + kDistanceCodes;

    // The sequence run-length coded: 16 repeats the length before 3-6 times, 17 and 18 give
    // 3-10 and 11-138 zeros.
    struct Run {
        uint8_t symbol, extra;
    };
    Run runs[kLiteralCodes + kDistanceCodes];
    int runCount = 0;
    uint32_t runFreq[19] = {};
    for (int i = 0; i < lengthCount;) {
        const uint8_t value = lengths[i];
        int same = 1;
        while (i + same < lengthCount && lengths[i + same] == value) ++same;
        i += same;
        auto add = [&](int symbol, int extra) {
            runs[runCount++] = Run{static_cast<uint8_t>(symbol), static_cast<uint8_t>(extra)};
            ++runFreq[symbol];
        };
        if (value == 0) {
            for (; same >= 11; same -= std::min(same, 138)) add(18, std::min(same, 138) - 11);
            if (same >= 3) {
                add(17, same - 3);
                same = 0;
            }
        } else {
            add(value, 0);
            for (--same; same >= 3; same -= std::min(same, 6)) add(16, std::min(same, 6) - 3);
        }
        for (; same > 0; --same) add(value, 0);
    }
    if (std::count_if(runFreq, runFreq + 19, [](uint32_t f) { return f != 0; }) < 2)
        ++runFreq[runFreq[0] == 0 ? 0 : 1];
    uint8_t runLengths[19];
    huffmanLengths(runFreq, 19, kMaxLengthBits, runLengths);
    int sentLengths = 19;
    while (sentLengths > 4 && runLengths[kLengthOrder[sentLengths - 1]] == 0) --sentLengths;

    uint16_t literalCodes[kLiteralCodes] = {};
    uint16_t distanceCodes[kDistanceCodes] = {};
    uint16_t runCodes[19] = {};
    canonicalCodes(lengths, literalCount, literalCodes);
    canonicalCodes(lengths + literalCount, kDistanceCodes, distanceCodes);
    canonicalCodes(runLengths, 19, runCodes);

    bits(last ? 1u : 0u, 1);
    bits(2, 2);  // Huffman codes of the block's own
    bits(static_cast<uint32_t>(literalCount - 257), 5);
    bits(kDistanceCodes - 1, 5);
    bits(static_cast<uint32_t>(sentLengths - 4), 4);
    for (int i = 0; i < sentLengths; ++i) bits(runLengths[kLengthOrder[i]], 3);
    static constexpr int kRunExtraBits[3] = {2, 3, 7};
    for (int i = 0; i < runCount; ++i) {
        const Run r = runs[i];
        bits(runCodes[r.symbol], runLengths[r.symbol]);
        if (r.symbol >= 16) bits(r.extra, kRunExtraBits[r.symbol - 16]);
    }

    const uint8_t* literalLengths = lengths;
    const uint8_t* distanceLengths = lengths + literalCount;
    // A copy: its length's code and extra bits, then the code of distance 1 (no extra bits).
    const uint32_t distanceCode = distanceCodes[0];
    const int distanceBits = distanceLengths[0];
    for (const uint16_t t : tokens_) {
        if (t < 256) {
            bits(literalCodes[t], literalLengths[t]);
        } else {
            const CopyCode c = kCopy.of[t - 256];
            bits(literalCodes[c.symbol] | uint32_t{c.extra} << literalLengths[c.symbol],
                 literalLengths[c.symbol] + c.extraBits);
            bits(distanceCode, distanceBits);
        }
    }
    bits(literalCodes[kEndOfBlock], literalLengths[kEndOfBlock]);
    tokens_.clear();
}

void ZlibWriter::finish() {
    flushZeros();
    block(true);
    while (bitCount_ > 0) {  // the last bits, to a whole byte
        out_.push_back(static_cast<uint8_t>(bitBuffer_));
        bitBuffer_ >>= 8;
        bitCount_ = std::max(0, bitCount_ - 8);
    }
    bitBuffer_ = 0;
    sumBytes();
    for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(static_cast<uint8_t>(adler_ >> shift));
}

}  // namespace lumen
