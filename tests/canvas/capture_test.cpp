// PNG and GIF capture: files that libpng and giflib (here only as readers) read back to the
// right pixels and frames, and error messages (not crashes) for streams that cannot be written.
#include "outputs/gif.h"
#include "os/os.h"
#include "outputs/output_file.h"
#include "outputs/png.h"

#include "pixels/canvas.h"
#include "shown_movie.h"
#include "support/captures.h"

#include <gtest/gtest.h>

#include <gif_lib.h>
#include <png.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using lumen::Canvas;
using lumen::GifMovie;

constexpr int kW = Canvas::kWidth;
constexpr int kH = Canvas::kHeight;

std::string tempPath(const std::string& name) {
    return (std::filesystem::path(testing::TempDir()) /
            ("lumen_" + std::to_string(::getpid()) + "_" + name))
        .string();
}

// An output at `path`, opened or failing the test.
std::unique_ptr<lumen::OutputFile> output(const std::string& path) {
    auto out = std::make_unique<lumen::OutputFile>();
    EXPECT_TRUE(out->open(path, "test output")) << out->error();
    return out;
}

// A canvas with translucent, opaque and clipped rectangles.
std::unique_ptr<Canvas> sampleCanvas(int seed) {
    auto c = std::make_unique<Canvas>();
    std::mt19937 rng(seed);
    for (int i = 0; i < 20; ++i) {
        c->fillRect(int(rng() % 1700) - 50, int(rng() % 1000) - 50, rng() % 600, rng() % 600,
                    (rng() % 256) / 255.0, (rng() % 256) / 255.0, (rng() % 256) / 255.0,
                    i % 4 == 0 ? 1.0 : 0.8);
    }
    return c;
}

TEST(Png, RoundTripsEveryPixel) {
    auto canvas = sampleCanvas(1);
    const std::string path = tempPath("round.png");
    auto out = output(path);
    ASSERT_EQ(lumen::writePng(out->stream(), *canvas, canvas->fills()), "");
    ASSERT_TRUE(out->commit()) << out->error();

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
    EXPECT_EQ(image.width, unsigned(kW));
    EXPECT_EQ(image.height, unsigned(kH));
    EXPECT_EQ(PNG_IMAGE_SAMPLE_COMPONENT_SIZE(image.format), 1u);  // 8 bits a channel
    image.format = PNG_FORMAT_BGRA;
    std::vector<uint32_t> back(size_t(kW) * kH, 0);
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, back.data(), kW * 4, nullptr))
        << image.message;
    EXPECT_EQ(std::memcmp(back.data(), canvas->pixels(), back.size() * 4), 0);
    std::filesystem::remove(path);
}

// The platform writer behind both captures reports a full device in the system's words.
TEST(Capture, WriteAllReportsAFullDevice) {
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    const std::vector<uint8_t> bytes(1 << 16, 7);
    EXPECT_EQ(lumen::os::writeAll(full, bytes.data(), bytes.size()), std::strerror(ENOSPC));
    std::fclose(full);
    std::FILE* null = std::fopen("/dev/null", "wb");
    ASSERT_NE(null, nullptr);
    EXPECT_EQ(lumen::os::writeAll(null, bytes.data(), bytes.size()), "");
    std::fclose(null);
}

// The picture written band by band from a frame's fills is the file of its composited pixels,
// byte for byte, for frames of translucent, overlapping, clipped and empty fill lists.
TEST(Png, BandsFromFillsGiveTheCompositedFile) {
    for (int seed = 1; seed <= 6; ++seed) {
        auto drawn = sampleCanvas(seed);
        if (seed == 6) drawn->clear();  // no fills: the background alone
        const std::vector<lumen::CanvasFill> fills = drawn->fills();
        Canvas other;  // another canvas, whose buffer holds something else
        other.fillRect(10, 10, 300, 300, 1, 0, 0, 0.5);
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(lumen::writePng(f, other, fills), "");
        std::vector<uint8_t> bands(std::size_t(std::ftell(f)));
        std::rewind(f);
        ASSERT_EQ(std::fread(bands.data(), 1, bands.size(), f), bands.size());
        std::fclose(f);
        EXPECT_EQ(bands, support::encodePng(other.pixelsOf(fills), kW, kH)) << seed;
    }
}

TEST(Png, NoStreamGivesMessage) {
    auto canvas = sampleCanvas(2);
    EXPECT_EQ(lumen::writePng(nullptr, *canvas, canvas->fills()), "no file");
}

TEST(GifPalette, MapsToNearestLevelsAndKeepsBackgroundExact) {
    // Index 0 is the transparent one, which no colour maps to; the 252 levels follow it.
    for (unsigned i = 1; i <= 252; ++i) {
        const uint32_t c = GifMovie::paletteColor(i);
        ASSERT_EQ(GifMovie::paletteIndex((c >> 16) & 255, (c >> 8) & 255, c & 255), i) << i;
    }
    const uint32_t bg = Canvas::kBackground;
    const uint8_t bgIndex = GifMovie::paletteIndex((bg >> 16) & 255, (bg >> 8) & 255, bg & 255);
    EXPECT_EQ(GifMovie::paletteColor(bgIndex), bg);
    std::mt19937 rng(3);
    for (int n = 0; n < 10000; ++n) {
        const unsigned r = rng() & 255, g = rng() & 255, b = rng() & 255;
        const uint8_t index = GifMovie::paletteIndex(r, g, b);
        ASSERT_NE(index, GifMovie::kTransparentIndex);
        const uint32_t c = GifMovie::paletteColor(index);
        // Within half a level step: 51 / 2 for red and blue, 42.5 / 2 for green.
        EXPECT_LE(std::abs(int((c >> 16) & 255) - int(r)), 26);
        EXPECT_LE(std::abs(int((c >> 8) & 255) - int(g)), 22);
        EXPECT_LE(std::abs(int(c & 255) - int(b)), 26);
    }
}

TEST(Gif, EveryFourthFrameAtHalfSizeReadsBack) {
    const std::string path = tempPath("movie.gif");
    auto out = output(path);
    GifMovie movie;
    ASSERT_TRUE(movie.open(out->stream(), kW, kH)) << movie.error();
    Canvas canvas;
    for (int frame = 0; frame < 10; ++frame) {
        canvas.clear();
        // Frame k: an opaque white block whose left edge moves 2 px a frame, and one pixel
        // column (odd x) of red that a 2x2 average halves.
        canvas.fillRect(100 + 2 * frame, 50, 40, 40, 1, 1, 1, 1);
        canvas.fillRect(401, 0, 1, kH, 1, 0, 0, 1);
        ASSERT_TRUE(movie.present(canvas, canvas.fills())) << movie.error();
    }
    EXPECT_EQ(movie.framesPresented(), 10);
    EXPECT_EQ(movie.framesWritten(), 3);  // frames 1, 5 and 9
    ASSERT_TRUE(movie.close()) << movie.error();
    EXPECT_FALSE(movie.isOpen());
    ASSERT_TRUE(out->commit()) << out->error();

    canvas_test::ShownMovie shown;
    ASSERT_TRUE(canvas_test::readShownMovie(path, shown));
    EXPECT_EQ(shown.width, kW / 2);
    EXPECT_EQ(shown.height, kH / 2);
    ASSERT_EQ(shown.frames.size(), 3u);
    const uint32_t bg = Canvas::kBackground;
    const unsigned bgIndex = GifMovie::paletteIndex((bg >> 16) & 255, (bg >> 8) & 255, bg & 255);
    const unsigned white = GifMovie::paletteIndex(255, 255, 255);
    // Column 401 red, column 400 background: each 2x2 block averages two of each, (sum + 2) / 4.
    const unsigned mixed = GifMovie::paletteIndex((2 * 255 + 2 * 11 + 2) / 4, (2 * 0 + 2 * 19 + 2) / 4,
                                                  (2 * 0 + 2 * 40 + 2) / 4);
    // The first frame is whole; the others hold the box of the changed cells, left over the one
    // before, and only the changed cells in it: the strips the block left and entered.
    for (int i = 0; i < 3; ++i) {
        const GifImageDesc& d = shown.boxes[std::size_t(i)];
        if (i == 0) {
            EXPECT_EQ(d.Width, kW / 2);
            EXPECT_EQ(d.Height, kH / 2);
        } else {
            // The block's left edge moved 4 cells: cells 50 + 4(i-1) .. 50 + 4i + 20 changed.
            EXPECT_EQ(d.Left, 50 + 4 * (i - 1));
            EXPECT_EQ(d.Width, 24);
            EXPECT_EQ(d.Top, 25);
            EXPECT_EQ(d.Height, 20);
            EXPECT_EQ(shown.opaque[std::size_t(i)], 2 * 4 * 20);  // the 16 columns between unchanged
        }
        const int left = (100 + 2 * (4 * i)) / 2;  // canvas frame 4i, half-size column
        const uint8_t* px = shown.frames[std::size_t(i)].data();
        EXPECT_EQ(px[30 * (kW / 2) + left - 1], bgIndex) << i;
        EXPECT_EQ(px[30 * (kW / 2) + left], white) << i;
        EXPECT_EQ(px[30 * (kW / 2) + left + 19], white) << i;
        EXPECT_EQ(px[30 * (kW / 2) + left + 20], bgIndex) << i;
        EXPECT_EQ(px[100 * (kW / 2) + 200], mixed) << i;
        EXPECT_EQ(px[449 * (kW / 2) + 799], bgIndex) << i;
    }
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
    ASSERT_NE(gif, nullptr) << GifErrorString(error);
    ASSERT_EQ(DGifSlurp(gif), GIF_OK) << GifErrorString(gif->Error);
    ASSERT_NE(gif->SColorMap, nullptr);
    const GifColorType& entry = gif->SColorMap->Colors[white];
    EXPECT_EQ(entry.Red, 255);
    EXPECT_EQ(entry.Green, 255);
    EXPECT_EQ(entry.Blue, 255);
    DGifCloseFile(gif, &error);
    std::filesystem::remove(path);
}

TEST(Gif, FailuresAreReportedNotFatal) {
    GifMovie movie;
    EXPECT_FALSE(movie.open(nullptr, kW, kH));
    EXPECT_FALSE(movie.error().empty());
    EXPECT_FALSE(movie.isOpen());
    Canvas canvas;
    EXPECT_FALSE(support::presentPixels(movie, canvas.pixels()));
    EXPECT_FALSE(movie.present(canvas, canvas.fills()));
    EXPECT_FALSE(movie.close());

    auto out = output(tempPath("odd.gif"));
    GifMovie odd;
    EXPECT_FALSE(odd.open(out->stream(), 1601, 900));
    EXPECT_FALSE(odd.error().empty());
}

// Files may not grow past `bytes` while alive (a full disk, as the writers see it).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, previous_);
    }

private:
    rlimit old_{};
    void (*previous_)(int) = nullptr;
};

// A picture and a movie that hit a full disk: the writers report it, and the files that were
// at their paths before are still there, whole.
TEST(Capture, WriteErrorsAreReportedAndKeepWhatWasThere) {
    auto canvas = sampleCanvas(4);
    const std::string png = tempPath("full.png"), gif = tempPath("full.gif");
    for (const std::string& p : {png, gif}) {
        std::FILE* f = std::fopen(p.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("the user's earlier file", f);
        std::fclose(f);
    }
    std::string pngMessage;
    bool opened = false, closed = true, pngCommitted = true, gifCommitted = true;
    std::string gifMessage;
    {
        FileSizeLimit limit(4096);
        auto pngOut = output(png);
        pngMessage = lumen::writePng(pngOut->stream(), *canvas, canvas->fills());
        if (!pngMessage.empty()) pngOut->fail(pngMessage);
        pngCommitted = pngOut->commit();
        auto gifOut = output(gif);
        GifMovie movie;
        opened = movie.open(gifOut->stream(), kW, kH);
        for (int i = 0; i < 9; ++i) movie.present(*canvas, canvas->fills());
        closed = movie.close();
        gifMessage = movie.error();
        if (!closed) gifOut->fail(gifMessage);
        gifCommitted = gifOut->commit();
    }
    EXPECT_NE(pngMessage, "");
    EXPECT_FALSE(pngCommitted);
    EXPECT_TRUE(opened);
    EXPECT_FALSE(closed);
    EXPECT_FALSE(gifCommitted);
    EXPECT_NE(gifMessage, "");
    for (const std::string& p : {png, gif}) {
        std::FILE* f = std::fopen(p.c_str(), "rb");
        ASSERT_NE(f, nullptr) << p;
        char text[64] = {};
        EXPECT_EQ(std::fread(text, 1, sizeof text - 1, f), 23u) << p;
        EXPECT_STREQ(text, "the user's earlier file");
        std::fclose(f);
        std::filesystem::remove(p);
    }
    // No temporary is left beside them.
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(png).parent_path()))
        EXPECT_EQ(entry.path().filename().string().find(std::filesystem::path(png).filename().string() + "."),
                  std::string::npos) << entry.path();
}

TEST(Gif, ReopenStartsANewMovie) {
    const std::string a = tempPath("a.gif"), b = tempPath("b.gif");
    GifMovie movie;
    Canvas canvas;
    auto outA = output(a);
    auto outB = output(b);
    ASSERT_TRUE(movie.open(outA->stream(), kW, kH));
    for (int i = 0; i < 5; ++i) movie.present(canvas, canvas.fills());
    ASSERT_TRUE(movie.open(outB->stream(), kW, kH));  // ends the first movie
    movie.present(canvas, canvas.fills());
    EXPECT_EQ(movie.framesWritten(), 1);
    ASSERT_TRUE(movie.close());
    ASSERT_TRUE(outA->commit());
    ASSERT_TRUE(outB->commit());
    for (const std::string& p : {a, b}) {
        int error = 0;
        GifFileType* gif = DGifOpenFileName(p.c_str(), &error);
        ASSERT_NE(gif, nullptr);
        ASSERT_EQ(DGifSlurp(gif), GIF_OK);
        EXPECT_EQ(gif->ImageCount, p == a ? 2 : 1);
        DGifCloseFile(gif, &error);
        std::filesystem::remove(p);
    }
}

}  // namespace

namespace {

// The whole file a movie wrote to `f` (a tmpfile), read back.
std::vector<uint8_t> fileBytes(std::FILE* f) {
    std::vector<uint8_t> bytes(std::size_t(std::ftell(f)));
    std::rewind(f);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
    return bytes;
}

}  // namespace

// A movie made from each frame's fills, band by band, is the movie of the composited frames,
// byte for byte: rectangles with odd edges (cell rows across two bands), moved, recoloured,
// added and dropped, and frames that change nothing.
TEST(Gif, FramesFromFillsGiveTheCompositedMovie) {
    std::FILE* fromPixels = std::tmpfile();
    std::FILE* fromFills = std::tmpfile();
    ASSERT_NE(fromPixels, nullptr);
    ASSERT_NE(fromFills, nullptr);
    GifMovie a, b;
    ASSERT_TRUE(a.open(fromPixels, kW, kH)) << a.error();
    ASSERT_TRUE(b.open(fromFills, kW, kH)) << b.error();
    Canvas canvas, composited;
    std::mt19937 rng(11);
    for (int frame = 0; frame < 48; ++frame) {
        canvas.clear();
        const int count = 5 + frame % 7;
        for (int i = 0; i < count; ++i) {
            // The same rectangles from frame to frame, but for the one that moves.
            std::mt19937 shape(i * 31 + 1);
            const int shift = (i == frame % count) ? frame * 3 : 0;
            canvas.fillRect(int(shape() % 1500) - 40 + shift, int(shape() % 850) - 40 + (shift & 7),
                            1 + shape() % 401, 1 + shape() % 301, (shape() % 256) / 255.0,
                            (shape() % 256) / 255.0, (frame / 4 % 3 == 0 ? i : 0) / 10.0,
                            i % 3 == 0 ? 1.0 : 0.6);
        }
        if (frame % 8 == 5) canvas.fillRect(rng() % 1599, rng() % 899, 1, 1, 1, 1, 1, 1);
        const std::vector<lumen::CanvasFill> fills = canvas.fills();
        ASSERT_TRUE(support::presentPixels(a, composited.pixelsOf(fills))) << a.error();
        ASSERT_TRUE(b.present(canvas, fills)) << b.error();
    }
    EXPECT_EQ(a.framesWritten(), 12);
    EXPECT_EQ(b.framesWritten(), 12);
    ASSERT_TRUE(a.close()) << a.error();
    ASSERT_TRUE(b.close()) << b.error();
    EXPECT_EQ(fileBytes(fromFills), fileBytes(fromPixels));
    std::fclose(fromPixels);
    std::fclose(fromFills);
}

// Rows of a box are the composited pixels of that box; pixels outside the boxes where two
// frames can differ are the same in both.
TEST(Canvas, RowsOfABoxAndTheBoxesWhereFramesDiffer) {
    std::mt19937 rng(5);
    for (int seed = 1; seed <= 5; ++seed) {
        const std::vector<lumen::CanvasFill> before = sampleCanvas(seed)->fills();
        std::vector<lumen::CanvasFill> after = before;
        after[seed % after.size()].x0 = std::max(0, after[seed % after.size()].x0 - 13);
        if (seed % 2 == 0) after.erase(after.begin());
        if (seed == 5) after.push_back(sampleCanvas(9)->fills()[3]);
        Canvas canvas, composited;
        std::vector<uint32_t> was(composited.pixelsOf(before), composited.pixelsOf(before) + kW * kH);
        const uint32_t* now = composited.pixelsOf(after);
        const lumen::CanvasRegion region = Canvas::changedBetween(before, after);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                if (!region.contains(x, y)) {
                    ASSERT_EQ(was[std::size_t(y) * kW + x], now[std::size_t(y) * kW + x])
                        << seed << " " << x << "," << y;
                }
        EXPECT_TRUE(Canvas::changedBetween(after, after).empty());

        const lumen::CanvasRect box{int(rng() % 800) - 5, int(rng() % 500) - 5,
                                    900 + int(rng() % 800), 400 + int(rng() % 600)};
        const int x0 = std::max(box.x0, 0), x1 = std::min(box.x1, kW);
        int y = std::max(box.y0, 0);
        canvas.forEachRow(after, box, [&](const uint32_t* row, int count) {
            for (int k = 0; k < count; ++k, ++y)
                ASSERT_EQ(std::memcmp(row, now + std::size_t(y) * kW + x0, sizeof(uint32_t) * (x1 - x0)), 0)
                    << seed << " row " << y;
        });
        EXPECT_EQ(y, std::min(box.y1, kH)) << seed;
    }
}
