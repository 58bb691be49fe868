// Compositing only what changed: on random sequences of frames (the same frame again, one fill
// moved, recoloured, added or taken out, a new frame, an empty one) the canvas after each partial
// composite equals a full composite from scratch, the changed boxes hold every changed pixel, a
// copy updated only inside the boxes stays equal to the canvas, and the movie, whose frames hold
// only their changed cells, decodes to the same whole frames as full frames would.
#include "pixels/canvas.h"
#include "pixels/letterbox.h"
#include "pixels/scale.h"
#include "outputs/gif.h"
#include "outputs/output_file.h"
#include "shown_movie.h"
#include "support/captures.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using lumen::Canvas;
using lumen::CanvasRect;
using lumen::GifMovie;
using lumen::SimdPath;

constexpr int kW = Canvas::kWidth;
constexpr int kH = Canvas::kHeight;
constexpr std::size_t kPixels = std::size_t{kW} * kH;

struct Rect {
    double x, y, w, h, r, g, b, a;
};
using Frame = std::vector<Rect>;

Rect randomRect(std::mt19937_64& rng) {
    const double alpha[] = {1.0, 0.8, 0.35, 0.0};
    return Rect{double(rng() % 1800) - 100 + (rng() % 3 == 0 ? 0.25 * double(rng() % 4) : 0.0),
                double(rng() % 1000) - 50,
                double(rng() % 500),
                double(rng() % 500),
                double(rng() % 256) / 255,
                double(rng() % 256) / 255,
                double(rng() % 256) / 255,
                alpha[rng() % 7 % 4]};
}

// The next frame of a random sequence: mostly small changes to the previous one.
Frame nextFrame(const Frame& previous, std::mt19937_64& rng) {
    Frame f = previous;
    switch (rng() % 8) {
        case 0:
        case 1: break;  // the same frame again
        case 2:
            if (!f.empty()) {
                Rect& r = f[rng() % f.size()];
                r.x += double(rng() % 21) - 10;
                r.y += double(rng() % 21) - 10;
            }
            break;
        case 3:
            if (!f.empty()) f[rng() % f.size()].g = double(rng() % 256) / 255;
            break;
        case 4: f.insert(f.begin() + static_cast<long>(rng() % (f.size() + 1)), randomRect(rng)); break;
        case 5:
            if (!f.empty()) f.erase(f.begin() + static_cast<long>(rng() % f.size()));
            break;
        case 6: {
            f.clear();
            const int n = rng() % 5 == 0 ? Canvas::kReservedFills + 40 : int(rng() % 40);
            for (int i = 0; i < n; ++i) f.push_back(randomRect(rng));
            break;
        }
        default:
            if (rng() % 3 == 0) f.clear();
            break;
    }
    return f;
}

void draw(Canvas& c, const Frame& f) {
    for (const Rect& r : f) c.fillRect(r.x, r.y, r.w, r.h, r.r, r.g, r.b, r.a);
}

// The frame composited from scratch by blending each fill directly.
std::vector<uint32_t> fullComposite(const Frame& f) {
    auto reference = std::make_unique<Canvas>(SimdPath::Scalar, false);
    draw(*reference, f);
    return std::vector<uint32_t>(reference->pixels(), reference->pixels() + kPixels);
}

class Partial : public testing::TestWithParam<SimdPath> {};

TEST_P(Partial, EveryFrameEqualsAFullCompositeAndTheBoxHoldsEveryChange) {
    auto canvas = std::make_unique<Canvas>(GetParam());
    std::vector<uint32_t> previous(kPixels, Canvas::kBackground);
    std::vector<uint32_t> mirror(kPixels, 0);  // a window's copy, updated inside the boxes only
    std::mt19937_64 rng(2024);
    Frame frame;
    int unchanged = 0;
    for (int n = 0; n < 60; ++n) {
        const Frame next = nextFrame(frame, rng);
        const bool same = n > 0 && next.size() == frame.size() &&
                          std::memcmp(next.data(), frame.data(), next.size() * sizeof(Rect)) == 0;
        frame = next;
        canvas->clear();
        draw(*canvas, frame);
        if (n == 7) canvas->pixels();  // an extra read mid-sequence changes nothing below
        const uint32_t* px = canvas->pixels();
        const std::vector<uint32_t> full = fullComposite(frame);
        ASSERT_EQ(std::memcmp(px, full.data(), kPixels * sizeof(uint32_t)), 0) << "frame " << n;

        const lumen::CanvasRegion box = canvas->takeChanges(Canvas::kWindowView);
        if (n == 0) {
            EXPECT_EQ(box.bounds(), (CanvasRect{0, 0, kW, kH}));
        }
        ASSERT_LE(box.count, lumen::CanvasRegion::kMaxBoxes);
        for (int i = 0; i < box.count; ++i) {
            for (int j = 0; j < i; ++j) {
                const CanvasRect& a = box.boxes[i];
                const CanvasRect& b = box.boxes[j];
                ASSERT_FALSE(a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1) << "overlap, frame " << n;
            }
        }
        if (same) {
            EXPECT_TRUE(box.empty()) << "frame " << n;
            ++unchanged;
        }
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                const std::size_t i = std::size_t(y) * kW + x;
                if (!box.contains(x, y)) {
                    ASSERT_EQ(px[i], previous[i]) << "outside the box at " << x << "," << y << " frame " << n;
                } else {
                    mirror[i] = px[i];
                }
            }
        }
        ASSERT_EQ(std::memcmp(mirror.data(), px, kPixels * sizeof(uint32_t)), 0) << "frame " << n;
        previous.assign(px, px + kPixels);
    }
    EXPECT_GT(unchanged, 5);  // the sequence did repeat frames
}

TEST_P(Partial, AnEarlierFrameCanBeShownAgainAndDrawingGoesOn) {
    // The picture's way: the last presented frame's fills kept and composited at the end, over
    // a buffer that holds another frame, while the current frame is half drawn.
    auto canvas = std::make_unique<Canvas>(GetParam());
    std::mt19937_64 rng(7);
    Frame shown;
    for (int i = 0; i < 30; ++i) shown.push_back(randomRect(rng));
    draw(*canvas, shown);
    const std::vector<lumen::CanvasFill> kept = canvas->fills();
    canvas->clear();
    Frame later;
    for (int i = 0; i < 12; ++i) later.push_back(randomRect(rng));
    draw(*canvas, later);
    canvas->pixels();
    const uint32_t* px = canvas->pixelsOf(kept);
    EXPECT_EQ(std::memcmp(px, fullComposite(shown).data(), kPixels * sizeof(uint32_t)), 0);
    canvas->fillRect(10, 10, 300, 300, 1, 0, 0, 0.5);
    later.push_back(Rect{10, 10, 300, 300, 1, 0, 0, 0.5});
    EXPECT_EQ(std::memcmp(canvas->pixels(), fullComposite(later).data(), kPixels * sizeof(uint32_t)), 0);
    // Immediate mode blends over the current frame, even right after another was shown.
    canvas->pixelsOf(kept);
    canvas->setDeferred(false);
    canvas->fillRect(500, 20, 80, 90, 0, 1, 0, 0.8);
    later.push_back(Rect{500, 20, 80, 90, 0, 1, 0, 0.8});
    EXPECT_EQ(std::memcmp(canvas->pixels(), fullComposite(later).data(), kPixels * sizeof(uint32_t)), 0);
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Partial, testing::ValuesIn(lumen::kSimdPaths),
                         [](const testing::TestParamInfo<SimdPath>& info) {
                             return std::string(lumen::simdPathName(info.param));
                         });

// The palette index of each 2 x 2 cell of a full frame: the movie's frame as a whole.
std::vector<uint8_t> movieCells(const uint32_t* px) {
    std::vector<uint8_t> cells(std::size_t{kW / 2} * (kH / 2));
    for (int y = 0; y < kH / 2; ++y) {
        for (int x = 0; x < kW / 2; ++x) {
            const uint32_t q[4] = {px[std::size_t(2 * y) * kW + 2 * x], px[std::size_t(2 * y) * kW + 2 * x + 1],
                                   px[std::size_t(2 * y + 1) * kW + 2 * x],
                                   px[std::size_t(2 * y + 1) * kW + 2 * x + 1]};
            unsigned c[3] = {0, 0, 0};
            for (const uint32_t p : q)
                for (int k = 0; k < 3; ++k) c[k] += (p >> (16 - 8 * k)) & 255;
            cells[std::size_t(y) * (kW / 2) + x] =
                GifMovie::paletteIndex((c[0] + 2) / 4, (c[1] + 2) / 4, (c[2] + 2) / 4);
        }
    }
    return cells;
}

TEST(PartialMovie, DecodedFramesEqualWholeFrames) {
    const std::string path = (std::filesystem::path(testing::TempDir()) /
                              ("lumen_" + std::to_string(::getpid()) + "_partial.gif"))
                                 .string();
    lumen::OutputFile out;
    ASSERT_TRUE(out.open(path, "test output")) << out.error();
    GifMovie movie;
    ASSERT_TRUE(movie.open(out.stream(), kW, kH)) << movie.error();
    auto canvas = std::make_unique<Canvas>();
    std::mt19937_64 rng(31);
    Frame frame;
    std::vector<std::vector<uint8_t>> expected;
    for (int n = 0; n < 49; ++n) {
        frame = nextFrame(frame, rng);
        canvas->clear();
        draw(*canvas, frame);
        if (n % 3 == 0) canvas->pixels();  // a window's read in between: changes add up
        // As the capture does it: the pixels and the changes only on the movie's frames.
        const bool due = movie.frameDue();
        const uint32_t* px = due ? canvas->pixels() : nullptr;
        const lumen::CanvasRegion changed = due ? canvas->takeChanges(Canvas::kMovieView) : lumen::CanvasRegion{};
        ASSERT_TRUE(support::presentPixels(movie, px, changed)) << movie.error();
        if (due) expected.push_back(movieCells(px));
    }
    ASSERT_TRUE(movie.close()) << movie.error();
    ASSERT_TRUE(out.commit()) << out.error();

    canvas_test::ShownMovie shown;
    ASSERT_TRUE(canvas_test::readShownMovie(path, shown));
    ASSERT_EQ(shown.frames.size(), expected.size());
    int partial = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const GifImageDesc& d = shown.boxes[i];
        if (d.Width * d.Height < (kW / 2) * (kH / 2)) ++partial;
        ASSERT_EQ(shown.frames[i], expected[i]) << "movie frame " << i;
    }
    EXPECT_GT(partial, int(expected.size()) / 2);  // most frames held only a part
    std::filesystem::remove(path);
}


// A window updated only inside the window rectangles of each frame's changed boxes shows what a
// whole redraw of that frame at that scale shows: at 1:1, at whole-number scales (replicated),
// at fractional ones larger and smaller (smoothed), letterboxed either way and at odd sizes.
TEST(PartialWindow, ScaledOnlyWhereChangedEqualsAWholeRedraw) {
    const std::pair<int, int> sizes[] = {{1600, 900}, {3200, 1800}, {3840, 2160}, {1920, 1080},
                                         {1000, 700},  {2561, 1000}, {333, 187}};
    for (const auto& [w, h] : sizes) {
        SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
        const lumen::Letterbox box = lumen::letterbox(w, h);
        std::vector<uint32_t> window(std::size_t(w) * h, 0x12345678u), whole(window.size());
        const lumen::WindowPixels shown{window.data(), w, h, w};
        const lumen::WindowPixels redrawn{whole.data(), w, h, w};
        auto canvas = std::make_unique<Canvas>(SimdPath::Scalar);
        std::mt19937_64 rng(w * 7 + h);
        Frame frame;
        for (int n = 0; n < 12; ++n) {
            frame = nextFrame(frame, rng);
            canvas->clear();
            draw(*canvas, frame);
            const uint32_t* px = canvas->pixels();
            const lumen::CanvasRegion changed = canvas->takeChanges(Canvas::kWindowView);
            if (n == 0) {
                lumen::drawWholeWindow(px, box, shown);
            } else {
                for (int i = 0; i < changed.count; ++i) {
                    lumen::scaleCanvas(px, box, lumen::windowRectOf(changed.boxes[i], box), shown);
                }
            }
            lumen::drawWholeWindow(px, box, redrawn);
            const auto differs = std::mismatch(window.begin(), window.end(), whole.begin());
            ASSERT_TRUE(differs.first == window.end())
                << "frame " << n << ", first at window px " << (differs.first - window.begin()) % w << ", "
                << (differs.first - window.begin()) / w;
        }
        // The bars are black and the canvas's corners are its own.
        if (box.x > 0) {
            EXPECT_EQ(whole[std::size_t(h / 2) * w], 0xFF000000u);
        }
        if (box.y > 0) {
            EXPECT_EQ(whole[std::size_t(w / 2)], 0xFF000000u);
        }
    }
}

// The scaled pixels themselves: k x k copies at whole-number scales; between two canvas px a
// mix of both, never outside them, at fractional ones.
TEST(PartialWindow, WholeScalesReplicateAndOthersMixNeighbours) {
    std::vector<uint32_t> canvas(kPixels);
    for (std::size_t i = 0; i < kPixels; ++i) canvas[i] = 0xFF000000u | uint32_t(i * 2654435761u >> 8);
    std::vector<uint32_t> twice(std::size_t(3200) * 1800);
    lumen::drawWholeWindow(canvas.data(), lumen::letterbox(3200, 1800), {twice.data(), 3200, 1800, 3200});
    for (const auto& [x, y] : {std::pair{0, 0}, {1599, 899}, {777, 333}}) {
        for (int d = 0; d < 4; ++d) {
            EXPECT_EQ(twice[std::size_t(2 * y + d / 2) * 3200 + 2 * x + d % 2], canvas[std::size_t(y) * kW + x]);
        }
    }
    // A canvas of black left of x = 800 and white from it, at 1.5x: the columns around the edge
    // are grey, the rest black or white.
    std::vector<uint32_t> edge(kPixels);
    for (std::size_t i = 0; i < kPixels; ++i) edge[i] = i % kW < 800 ? 0xFF000000u : 0xFFFFFFFFu;
    std::vector<uint32_t> out(std::size_t(2400) * 1350);
    lumen::drawWholeWindow(edge.data(), lumen::letterbox(2400, 1350), {out.data(), 2400, 1350, 2400});
    const uint32_t* row = out.data() + std::size_t(675) * 2400;
    EXPECT_EQ(row[1196], 0xFF000000u);
    EXPECT_EQ(row[1203], 0xFFFFFFFFu);
    int grey = 0;
    for (int x = 1196; x <= 1203; ++x) {
        const uint32_t b = row[x] & 0xFF;
        EXPECT_EQ(row[x], 0xFF000000u | b << 16 | b << 8 | b) << "a grey, at " << x;
        if (b != 0 && b != 0xFF) ++grey;
    }
    EXPECT_GE(grey, 1);
}

}  // namespace
