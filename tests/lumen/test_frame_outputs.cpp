// The picture and the movie: the picture written once, at the end, and only of a presented
// frame.
#include <gtest/gtest.h>

#include <string>

#include "pixels/canvas.h"
#include "outputs/gif.h"
#include "outputs/frame_outputs.h"
#include "outputs/output_file.h"
#include "helpers.h"
#include "support/captures.h"

using lumen_test::TempFile;

TEST(PictureOutput, WithoutAFrameThePathIsLeftAloneAndTheRunsEndWritesOnce) {
    TempFile old("kept", ".png");
    lumen::PictureOutput idle;
    ASSERT_TRUE(idle.open(old.path(), "picture", 0));
    idle.endRun(nullptr);
    EXPECT_EQ(lumen_test::readAll(old.path()), "kept");

    TempFile picture("", ".png");
    lumen::PictureOutput sink;
    ASSERT_TRUE(sink.open(picture.path(), "picture", 0));
    lumen::Canvas canvas;
    sink.frame(canvas);
    sink.endRun(&canvas);
    const std::string png = lumen_test::readAll(picture.path());
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_FALSE(sink.wantsFrames());
    canvas.fillRect(0, 0, 10, 10, 1, 1, 1, 1);
    sink.frame(canvas);
    sink.endRun(&canvas);
    EXPECT_EQ(lumen_test::readAll(picture.path()), png);
}

TEST(PictureOutput, ThePictureIsTheLastPresentedFrameNotWhatWasDrawnAfter) {
    // The picture keeps the last frame's fills and composites them once, at the end, over a canvas
    // that has moved on: the picture equals one written from that frame's own pixels.
    lumen::Canvas expected;
    expected.fillRect(100, 100, 200, 50, 0.2, 0.9, 0.4, 0.8);
    expected.fillRect(150, 120, 40, 400, 1, 1, 1, 1);
    TempFile reference("", ".png");
    {
        lumen::OutputFile out;
        ASSERT_TRUE(out.open(reference.path(), "picture"));
        ASSERT_EQ(support::writePng(out.stream(), expected.pixels(), lumen::Canvas::kWidth, lumen::Canvas::kHeight), "");
        ASSERT_TRUE(out.commit());
    }

    TempFile picture("", ".png");
    lumen::PictureOutput sink;
    ASSERT_TRUE(sink.open(picture.path(), "picture", 0));
    lumen::Canvas canvas;
    canvas.fillRect(0, 0, 1600, 900, 1, 0, 0, 1);  // an earlier frame
    sink.frame(canvas);
    canvas.clear();
    canvas.fillRect(100, 100, 200, 50, 0.2, 0.9, 0.4, 0.8);
    canvas.fillRect(150, 120, 40, 400, 1, 1, 1, 1);
    sink.frame(canvas);  // the last presented frame
    canvas.clear();
    canvas.fillRect(0, 0, 50, 50, 0, 0, 1, 1);  // drawn after it, never presented
    canvas.pixels();
    sink.endRun(&canvas);
    EXPECT_EQ(lumen_test::readAll(picture.path()), lumen_test::readAll(reference.path()));
}
