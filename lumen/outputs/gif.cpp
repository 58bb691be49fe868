// The picture through the PNG encoder, and the movie's GIF: its header, palette and frames
// written here, their pixels compressed by the LZW writer.
#include "outputs/gif.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "pixels/canvas.h"
#include "outputs/lzw.h"
#include "os/os.h"
#include "outputs/png.h"

namespace lumen {

std::string writePng(std::FILE* out, const Canvas& canvas, const std::vector<CanvasFill>& fills) {
    if (out == nullptr) return "no file";
    PngWriter png(Canvas::kWidth, Canvas::kHeight);
    canvas.forEachRow(fills, [&](const uint32_t* row, int count) { png.rows(row, count); });
    const std::vector<uint8_t> file = png.finish();
    return os::writeAll(out, file.data(), file.size());
}

namespace {

constexpr int kRedLevels = 6;
constexpr int kGreenLevels = 7;
constexpr int kBlueLevels = 6;
// Index 0 is transparent (GifMovie::kTransparentIndex): a cell that shows what the movie frame
// before left there. The 252 levels follow it, then the background colour exactly; 254 and 255
// are unused.
constexpr uint8_t kTransparentIndex = GifMovie::kTransparentIndex;
constexpr unsigned kFirstLevelIndex = kTransparentIndex + 1;
constexpr unsigned kBackgroundIndex = kFirstLevelIndex + kRedLevels * kGreenLevels * kBlueLevels;  // 253
constexpr uint32_t kMovieBackground = Canvas::kBackground;
constexpr uint8_t kLeaveInPlace = 1 << 2;  // graphics control: disposal method 1
constexpr uint8_t kHasTransparent = 1;     // graphics control: the transparent index is used
constexpr std::size_t kFrameHead = 18;     // graphics control (8 bytes) and image descriptor (10)
constexpr std::size_t kBatchBytes = 64 * 1024;  // movie frames gathered for one write

// Nearest of `levels` evenly spaced levels over 0..255, for 8-bit c.
constexpr unsigned levelOf(unsigned c, unsigned levels) {
    return (c * (levels - 1) + 127u) / 255u;
}
constexpr unsigned levelValue(unsigned level, unsigned levels) {
    return (level * 255u * 2 + (levels - 1)) / (2 * (levels - 1));  // round(level * 255 / (n-1))
}


// Each channel's share of the palette index, per 8-bit value.
struct LevelTables {
    uint8_t r[256], g[256], b[256];
};
constexpr LevelTables makeLevelTables() {
    LevelTables t{};
    for (unsigned c = 0; c < 256; ++c) {
        t.r[c] = static_cast<uint8_t>(levelOf(c, kRedLevels) * (kGreenLevels * kBlueLevels));
        t.g[c] = static_cast<uint8_t>(levelOf(c, kGreenLevels) * kBlueLevels);
        t.b[c] = static_cast<uint8_t>(kFirstLevelIndex + levelOf(c, kBlueLevels));
    }
    return t;
}
constexpr LevelTables kLevels = makeLevelTables();

// Palette index of a 0x..RRGGBB colour.
inline uint8_t indexOf(uint32_t rgb) {
    rgb &= 0xFFFFFFu;
    if (rgb == (kMovieBackground & 0xFFFFFFu)) return static_cast<uint8_t>(kBackgroundIndex);
    return static_cast<uint8_t>(kLevels.r[rgb >> 16] + kLevels.g[(rgb >> 8) & 0xFF] +
                                kLevels.b[rgb & 0xFF]);
}

// Palette indices of `count` cells, each the 2 x 2 box average of pixels from `upper` and
// `lower` (two pixel rows), rounded. A cell with the pixels of the one before has its index.
void quantiseCells(const uint32_t* upper, const uint32_t* lower, std::size_t count, uint8_t* out) {
    uint64_t lastUpper = 0, lastLower = 0;
    uint8_t lastCell = 0;
    for (std::size_t x = 0; x < count; ++x) {
        uint64_t up, down;
        std::memcpy(&up, upper + 2 * x, 8);
        std::memcpy(&down, lower + 2 * x, 8);
        if (x > 0 && up == lastUpper && down == lastLower) {
            out[x] = lastCell;
            continue;
        }
        // All four channels at once: the even bytes (B, R) and the odd bytes (G, A) each sum
        // in 16-bit halves (4 * 255 fits), then round and divide by 4.
        const uint32_t p0 = upper[2 * x], p1 = upper[2 * x + 1];
        const uint32_t p2 = lower[2 * x], p3 = lower[2 * x + 1];
        constexpr uint32_t kEven = 0x00FF00FFu;
        const uint32_t even = (p0 & kEven) + (p1 & kEven) + (p2 & kEven) + (p3 & kEven);
        const uint32_t odd = ((p0 >> 8) & kEven) + ((p1 >> 8) & kEven) + ((p2 >> 8) & kEven) +
                             ((p3 >> 8) & kEven);
        const uint32_t average = (((even + 0x00020002u) >> 2) & kEven) |
                                 ((((odd + 0x00020002u) >> 2) & kEven) << 8);
        lastCell = indexOf(average);
        lastUpper = up;
        lastLower = down;
        out[x] = lastCell;
    }
}

// The first i in [0, n) where a[i] != b[i], else n.
std::size_t firstDifference(const uint8_t* a, const uint8_t* b, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) break;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// One past the last i in [0, n) where a[i] != b[i]; some i must differ.
std::size_t lastDifference(const uint8_t* a, const uint8_t* b, std::size_t n) {
    std::size_t i = n;
    for (; i >= 8; i -= 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i - 8, 8);
        std::memcpy(&y, b + i - 8, 8);
        if (x != y) break;
    }
    while (a[i - 1] == b[i - 1]) --i;
    return i;
}

}  // namespace

uint8_t GifMovie::paletteIndex(unsigned r, unsigned g, unsigned b) {
    return indexOf(((r & 0xFFu) << 16) | ((g & 0xFFu) << 8) | (b & 0xFFu));
}

uint32_t GifMovie::paletteColor(unsigned index) {
    if (index == kBackgroundIndex) return kMovieBackground;
    if (index > kBackgroundIndex || index < kFirstLevelIndex) return 0xFF000000u;  // not levels
    index -= kFirstLevelIndex;
    const unsigned r = levelValue(index / (kGreenLevels * kBlueLevels), kRedLevels);
    const unsigned g = levelValue(index / kBlueLevels % kGreenLevels, kGreenLevels);
    const unsigned b = levelValue(index % kBlueLevels, kBlueLevels);
    return 0xFF000000u | (r << 16) | (g << 8) | b;
}

GifMovie::GifMovie() = default;

GifMovie::~GifMovie() { close(); }

bool GifMovie::write(const uint8_t* bytes, std::size_t size) {
    const std::string reason = os::writeAll(file_, bytes, size);
    if (reason.empty()) return true;
    if (error_.empty()) error_ = reason;
    return false;
}

bool GifMovie::open(std::FILE* out, int width, int height) {
    close();
    error_.clear();
    presented_ = 0;
    written_ = 0;
    if (out == nullptr) {
        error_ = "no file";
        return false;
    }
    if (width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0 || width > 65534 ||
        height > 65534) {
        error_ = "frame size must be even";
        return false;
    }
    width_ = width;
    height_ = height;
    const std::size_t cells = static_cast<std::size_t>(width / 2) * (height / 2);
    // Room for the largest frame, and for frames to gather until kBatchBytes are made.
    capacity_ = kFrameHead + LzwWriter::bound(cells) + kBatchBytes;
    // All buffers in one block of large pages: the first frame touches most of them, and a
    // page fault per 4 KiB of fresh memory would cost more than making the frame.
    const std::size_t lzwAt = 0;
    const std::size_t indicesAt = (sizeof(LzwWriter) + 63) / 64 * 64;
    const std::size_t changesAt = indicesAt + cells;
    const std::size_t scratchAt = changesAt + cells;
    const std::size_t frameAt = scratchAt + 2 * static_cast<std::size_t>(width / 2);
    memoryBytes_ = os::largePageBytes(frameAt + capacity_);
    memory_ = static_cast<uint8_t*>(
        ::operator new(memoryBytes_, std::align_val_t{os::kLargePage}, std::nothrow));
    shown_.clear();
    shown_.reserve(Canvas::kReservedFills);
    rowFirst_.assign(static_cast<std::size_t>(height / 2), width / 2);
    rowLast_.assign(static_cast<std::size_t>(height / 2), 0);
    if (memory_ == nullptr) {
        close();
        error_ = "out of memory";
        return false;
    }
    os::preferLargePages(memory_, memoryBytes_);
    lzw_ = new (memory_ + lzwAt) LzwWriter;  // no (): its table of runs is filled as used
    indices_ = memory_ + indicesAt;
    changes_ = memory_ + changesAt;
    scratch_ = memory_ + scratchAt;
    frame_ = memory_ + frameAt;
    // Transparent everywhere, which no colour maps to: the first frame differs from indices_
    // everywhere.
    std::memset(indices_, kTransparentIndex, 2 * cells);
    left_ = width / 2;
    top_ = height / 2;
    right_ = bottom_ = 0;
    pending_ = 0;
    file_ = out;

    // The header: the logical screen (half size), a global palette of 256 colours (8 bits of
    // colour resolution), the background's index and no aspect ratio; then the palette and the
    // application extension that viewers read as "loop forever".
    std::vector<uint8_t> head = {'G', 'I', 'F', '8', '9', 'a'};
    const int outW = width / 2, outH = height / 2;
    head.insert(head.end(), {static_cast<uint8_t>(outW), static_cast<uint8_t>(outW >> 8),
                             static_cast<uint8_t>(outH), static_cast<uint8_t>(outH >> 8), 0xF7,
                             static_cast<uint8_t>(kBackgroundIndex), 0});
    for (unsigned i = 0; i < 256; ++i) {
        const uint32_t c = paletteColor(i);
        head.insert(head.end(), {static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                                 static_cast<uint8_t>(c)});
    }
    head.insert(head.end(), {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0',
                             3, 1, 0, 0, 0});
    // Written with the first frames, as they are: a full disk shows when the movie is written.
    std::memcpy(frame_, head.data(), head.size());
    pending_ = head.size();
    return true;
}

void GifMovie::storeRow(int y, int x, std::size_t span, const uint8_t* cells) {
    const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(width_ / 2) + x;
    uint8_t* const shown = indices_ + at;
    const std::size_t first = firstDifference(cells, shown, span);
    if (first == span) return;
    const std::size_t last = lastDifference(cells, shown, span);
    // Cells that differ go into changes_ (others keep what an earlier box of this frame put
    // there) and into the shown frame.
    uint8_t* const change = changes_ + at;
    std::size_t i = first;
    for (; i + 8 <= last; i += 8) {  // eight at a time: a byte mask of the cells that differ
        uint64_t cell, was, kept;
        std::memcpy(&cell, cells + i, 8);
        std::memcpy(&was, shown + i, 8);
        std::memcpy(&kept, change + i, 8);
        constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;
        const uint64_t x = cell ^ was;
        const uint64_t high = (((x & kLow7) + kLow7) | x) & ~kLow7;  // 0x80 in each differing byte
        const uint64_t differs = (high >> 7) * 0xFF;
        kept = (cell & differs) | (kept & ~differs);
        std::memcpy(change + i, &kept, 8);
        std::memcpy(shown + i, &cell, 8);
    }
    for (; i < last; ++i) {
        const uint8_t cell = cells[i];
        change[i] = cell != shown[i] ? cell : change[i];
        shown[i] = cell;
    }
    rowFirst_[y] = std::min(rowFirst_[y], x + static_cast<int>(first));
    rowLast_[y] = std::max(rowLast_[y], x + static_cast<int>(last));
    left_ = std::min(left_, x + static_cast<int>(first));
    right_ = std::max(right_, x + static_cast<int>(last));
    top_ = std::min(top_, y);
    bottom_ = std::max(bottom_, y + 1);
}

bool GifMovie::present(const CanvasRegion& changed, const Bands& bands) {
    if (file_ == nullptr || !error_.empty()) return false;
    const int index = presented_++;
    if (index % kFrameStep != 0) return true;

    const int outW = width_ / 2;
    // Only the cells (2 x 2 px) that hold a changed pixel, every cell for the first frame.
    const CanvasRect whole{0, 0, width_, height_};
    const int boxes = written_ > 0 ? changed.count : 1;
    for (int b = 0; b < boxes; ++b) {
        // The box's cells, whole: even pixel bounds.
        const CanvasRect& box = written_ > 0 ? changed.boxes[b] : whole;
        const int cx0 = std::clamp(box.x0, 0, width_) / 2;
        const int cy0 = std::clamp(box.y0, 0, height_) / 2;
        const int cx1 = (std::clamp(box.x1, 0, width_) + 1) / 2;
        const int cy1 = (std::clamp(box.y1, 0, height_) + 1) / 2;
        if (cx1 <= cx0 || cy1 <= cy0) continue;
        const std::size_t span = static_cast<std::size_t>(cx1 - cx0);
        // Pixel rows come in bands of equal rows; a cell row is two pixel rows. One whose rows
        // lie in two bands is made of the last row of the one and the first of the next (the
        // band before stays as it is while the next is handed on); the cell rows inside a band
        // are all the same, computed once.
        const uint32_t* odd = nullptr;  // the upper row of a cell row still waiting for its lower
        int row = 2 * cy0;              // the next pixel row handed on
        const int end = 2 * cy1;
        uint8_t* const pair = scratch_;                        // a cell row across two bands
        uint8_t* const inside = scratch_ + static_cast<std::size_t>(outW);  // inside a band
        bands(CanvasRect{2 * cx0, 2 * cy0, 2 * cx1, 2 * cy1}, [&](const uint32_t* pixels, int count) {
            count = std::min(count, end - row);
            if (count <= 0) return;
            if (odd != nullptr) {
                quantiseCells(odd, pixels, span, pair);
                storeRow(row / 2, cx0, span, pair);
                odd = nullptr;
                ++row;
                --count;
            }
            if (count >= 2) {
                quantiseCells(pixels, pixels, span, inside);
                for (int k = 0; k + 2 <= count; k += 2) storeRow((row + k) / 2, cx0, span, inside);
            }
            row += count;
            if (count % 2 != 0) odd = pixels;
        });
    }
    return writeFrame();
}

bool GifMovie::present(const Canvas& canvas, const std::vector<CanvasFill>& fills) {
    const bool due = file_ != nullptr && error_.empty() && frameDue();
    if (due && (width_ != Canvas::kWidth || height_ != Canvas::kHeight)) {
        ++presented_;
        error_ = "frame size is not the canvas's";
        return false;
    }
    // Only where the fills differ from those of the movie frame before can a cell change.
    CanvasRegion changed;
    if (due && written_ > 0) changed = Canvas::changedBetween(shown_, fills);
    if (due) shown_.assign(fills.begin(), fills.end());
    return present(changed, [&](const CanvasRect& box, const Canvas::RowSink& sink) {
        canvas.forEachRow(fills, box, sink);
    });
}

bool GifMovie::writeFrame() {
    const int outW = width_ / 2;
    if (right_ <= left_) {  // nothing changed: one transparent cell keeps the frame's time
        left_ = top_ = 0;
        right_ = bottom_ = 1;
    }
    // Graphics control (left in place under the next frame, the delay in centiseconds, the
    // transparent index), the image's place without a palette of its own, then its pixels: the
    // changed cells, the others in the box transparent.
    const int boxW = right_ - left_, boxH = bottom_ - top_;
    const std::size_t boxCells = static_cast<std::size_t>(boxW) * static_cast<std::size_t>(boxH);
    if (pending_ + kFrameHead + LzwWriter::bound(boxCells) > capacity_ && !flush()) return false;
    uint8_t* at = frame_ + pending_;
    const uint8_t head[kFrameHead] = {
        0x21, 0xF9, 4, kLeaveInPlace | kHasTransparent, kDelayCs & 0xFF, kDelayCs >> 8,
        kTransparentIndex, 0,
        0x2C, static_cast<uint8_t>(left_), static_cast<uint8_t>(left_ >> 8), static_cast<uint8_t>(top_),
        static_cast<uint8_t>(top_ >> 8), static_cast<uint8_t>(boxW), static_cast<uint8_t>(boxW >> 8),
        static_cast<uint8_t>(boxH), static_cast<uint8_t>(boxH >> 8), 0};
    std::memcpy(at, head, kFrameHead);
    lzw_->begin(at + kFrameHead);
    // Row by row: transparent around the row's changed stretch. A row like the one above (the
    // rows of a band) has that row's runs. Rows are left transparent for the next frame.
    int aboveFirst = 0, aboveLast = 0;  // the stretch of the row above, empty if none
    for (int y = top_; y < bottom_; ++y) {
        const bool unchanged = rowLast_[y] <= rowFirst_[y];  // an empty stretch at the left
        const int first = unchanged ? left_ : rowFirst_[y];
        const int last = unchanged ? left_ : rowLast_[y];
        uint8_t* const row = changes_ + static_cast<std::size_t>(y) * outW;
        const std::size_t length = static_cast<std::size_t>(last - first);
        const bool likeAbove = y > top_ && first == aboveFirst && last == aboveLast &&
                               std::memcmp(row + first, row - outW + first, length) == 0;
        if (y > top_) std::memset(row - outW + aboveFirst, kTransparentIndex, aboveLast - aboveFirst);
        if (!likeAbove || !lzw_->repeatRow()) {
            lzw_->fill(kTransparentIndex, static_cast<std::size_t>(first - left_));
            lzw_->add(row + first, length);
            lzw_->fill(kTransparentIndex, static_cast<std::size_t>(right_ - last));
            lzw_->endRow();
        }
        rowFirst_[y] = outW;
        rowLast_[y] = 0;
        aboveFirst = first;
        aboveLast = last;
    }
    std::memset(changes_ + static_cast<std::size_t>(bottom_ - 1) * outW + aboveFirst,
                kTransparentIndex, aboveLast - aboveFirst);
    pending_ = static_cast<std::size_t>(lzw_->end() - frame_);
    ++written_;
    left_ = outW;
    top_ = height_ / 2;
    right_ = bottom_ = 0;
    return pending_ < kBatchBytes || flush();
}

bool GifMovie::flush() {
    const std::size_t size = pending_;
    pending_ = 0;
    return write(frame_, size);
}

bool GifMovie::close() {
    if (file_ != nullptr) {
        if (error_.empty()) {
            frame_[pending_++] = 0x3B;  // the trailer, after the frames not yet written
            flush();
        }
        errno = 0;
        if (error_.empty() && (std::fflush(file_) != 0 || std::ferror(file_) != 0))
            error_ = os::errorText(errno != 0 ? errno : EIO);
        file_ = nullptr;
    }
    if (memory_ != nullptr) {
        lzw_->~LzwWriter();
        ::operator delete(memory_, std::align_val_t{os::kLargePage});
    }
    memory_ = nullptr;
    lzw_ = nullptr;
    indices_ = changes_ = scratch_ = frame_ = nullptr;
    return error_.empty();
}

}  // namespace lumen
