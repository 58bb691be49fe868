// One way to give Lumen's LZW writer a row of indices, shared by the encoder tests and the
// encoder fuzz target: whole, repeated when like the row before, or partly as runs by fill().
#pragma once

#include "outputs/lzw.h"

#include <cstddef>
#include <cstdint>

namespace support {

// How giveLzwRow gives a row to the writer.
enum class RowWay {
    Add,         // add() of the whole row
    Repeat,      // repeatRow() when it equals the row before, else add()
    FillAndAdd,  // the row's first and last runs by fill(), the rest by add(); repeats as above
};

// Gives `row` (n >= 1 indices) to `lzw` in the way `way`; `likeAbove`: it equals the row given
// before. True when the writer refused to repeat it (it is then given in full).
inline bool giveLzwRow(lumen::LzwWriter& lzw, const uint8_t* row, std::size_t n, bool likeAbove, RowWay way) {
    bool refused = false;
    if (way != RowWay::Add && likeAbove) {
        if (lzw.repeatRow()) return false;
        refused = true;
    }
    if (way == RowWay::FillAndAdd) {
        std::size_t head = 1, tail = 0;
        while (head < n && row[head] == row[0]) ++head;
        while (tail < n - head && row[n - 1 - tail] == row[n - 1]) ++tail;
        lzw.fill(row[0], head);
        lzw.add(row + head, n - head - tail);
        lzw.fill(row[n - 1], tail);
    } else {
        lzw.add(row, n);
    }
    lzw.endRow();
    return refused;
}

}  // namespace support
