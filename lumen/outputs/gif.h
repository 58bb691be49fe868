// Capture of presented frames: one frame as a PNG (LUMEN_CAPTURE) and the run as an animated
// GIF (LUMEN_MOVIE). Pixels are in the canvas's form: uint32_t 0xAARRGGBB, row-major, no padding.
// Failures come back as a message; nothing here throws or aborts on a bad path or a full disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "pixels/canvas.h"

namespace lumen {

class LzwWriter;

// Writes the frame `fills` of `canvas` (the pixels pixelsOf(fills) would give) to `out` as an
// 8-bit RGBA PNG (lumen/outputs/png.h), encoded band by band without compositing it: the
// canvas's buffer is left alone. Returns "" on success, else the reason in words (the caller
// names the file).
std::string writePng(std::FILE* out, const Canvas& canvas, const std::vector<CanvasFill>& fills);

// An animated GIF of the presented frames: every fourth frame (the 1st, 5th, 9th, ...), at half
// size by 2 x 2 box averages, in one fixed 256-colour palette (a transparent index, 6 x 7 x 6
// levels of red, green and blue, the background colour exactly), each shown for 7 centiseconds,
// looping. After the first, a movie frame holds only the box around the cells that changed since
// the movie frame before it, left in place over that one, with its unchanged cells transparent
// (a frame with no change is one transparent cell), so the shown frames are the whole ones.
// Buffers are allocated by open() in one block; present() allocates nothing (present(canvas,
// fills) only to keep a frame of more fills than any before).
// Movie frames go to the stream in batches of some 64 KiB (and the rest at close()); their
// pixels are compressed by lumen/outputs/lzw.h.
class GifMovie {
public:
    static constexpr int kFrameStep = 4;    // presented frames per movie frame
    static constexpr int kDelayCs = 7;      // display time of a movie frame, 1/100 s (~4/60 s)
    static constexpr uint8_t kTransparentIndex = 0;  // cells a frame leaves as they were shown

    GifMovie();
    ~GifMovie();  // close() if still open
    GifMovie(const GifMovie&) = delete;
    GifMovie& operator=(const GifMovie&) = delete;

    // Starts a movie in `out` (left open for the caller to commit) for frames of width x height
    // canvas px (even, >= 2; the movie is half of that); its header goes out with the first
    // frames. Returns false and sets error() (the reason in words) if the size is bad or there
    // is no memory for the buffers.
    bool open(std::FILE* out, int width, int height);
    // Pixel rows of the frame inside `box` (canvas px, within the frame), given to `sink` from
    // the top down in bands of rows alike, as Canvas::forEachRow gives them.
    using Bands = std::function<void(const CanvasRect& box, const Canvas::RowSink& sink)>;
    // One presented frame; every kFrameStep-th becomes a movie frame, made of the cells of the
    // boxes of `changed` (canvas px, holding every pixel that differs from the previous movie
    // frame; the first is made whole), whose pixels `bands` gives (called only for those).
    // Returns false and sets error() once writing fails (later calls then do nothing).
    bool present(const CanvasRegion& changed, const Bands& bands);
    // The same for the frame `fills` of `canvas` (width x height must be the canvas's), made
    // band by band as Canvas::forEachRow gives it, without compositing it: the canvas's buffer
    // is left alone. Rows alike give cells alike, which are computed once.
    bool present(const Canvas& canvas, const std::vector<CanvasFill>& fills);
    // True if the next present() makes a movie frame (it reads the pixels).
    bool frameDue() const { return presented_ % kFrameStep == 0; }
    // Writes the movie's end. Returns false and sets error() if anything failed; the stream
    // stays open.
    bool close();

    bool isOpen() const { return file_ != nullptr; }
    const std::string& error() const { return error_; }
    int framesPresented() const { return presented_; }   // present() calls since open()
    int framesWritten() const { return written_; }       // movie frames made (in the file by close())

    // Palette index of a colour (8-bit channels) in the movie's fixed palette.
    static uint8_t paletteIndex(unsigned r, unsigned g, unsigned b);
    // The palette entry `index` as 0xFFRRGGBB.
    static uint32_t paletteColor(unsigned index);

private:
    bool write(const uint8_t* bytes, std::size_t size);  // false with error_ set
    bool flush();  // writes the frames gathered in frame_
    // Cell row y from cell x on (`span` cells): those that differ from the shown frame go
    // into it and into changes_, and widen the box of this frame's changes.
    void storeRow(int y, int x, std::size_t span, const uint8_t* cells);
    // Writes the movie frame of the box of changes_ (none: a single transparent cell), and
    // clears the box to transparent.
    bool writeFrame();

    std::FILE* file_ = nullptr;
    // One block of large pages (memoryBytes_) holds the LZW writer and the buffers below.
    uint8_t* memory_ = nullptr;
    std::size_t memoryBytes_ = 0;
    LzwWriter* lzw_ = nullptr;
    uint8_t* frame_ = nullptr;  // the frames not yet written (pending_ bytes), room for the largest
    std::size_t capacity_ = 0;
    std::size_t pending_ = 0;
    uint8_t* scratch_ = nullptr;  // two rows of cells, the one computed and the one before
    std::string error_;
    int width_ = 0;           // canvas px
    int height_ = 0;
    int presented_ = 0;
    int written_ = 0;
    std::vector<CanvasFill> shown_;  // the fills of the last movie frame made by present(canvas, fills)
    // (width_ / 2) * (height_ / 2) palette indices each: the frame shown after the last movie
    // frame, and the cells this one changes (transparent elsewhere).
    uint8_t* indices_ = nullptr;
    uint8_t* changes_ = nullptr;
    int left_ = 0, top_ = 0, right_ = 0, bottom_ = 0;  // the box of changes_, in cells
    std::vector<int> rowFirst_, rowLast_;  // per cell row, the stretch of changes_ [first, last)
};

}  // namespace lumen
