// The script player and the input recorder.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "run/input_source.h"
#include "helpers.h"

using lumen::InputState;
using lumen::ScriptOp;
using lumen::ScriptPlayer;
using lumen_test::TempFile;

namespace {

ScriptPlayer playerOf(const char* text) {
    lumen::ScriptParse parse = lumen::parseScript(text);
    EXPECT_TRUE(parse.ok());
    ScriptPlayer player;
    player.load(std::move(parse.script));
    return player;
}

}  // namespace

TEST(ScriptPlayer, AppliesAFramesMovesAndStopsAtTheCommandThatEndsIt) {
    ScriptPlayer player = playerOf(
        "1 move 10 20\n"
        "2 press right\n"
        "2 fault 0x20000001 first\n"
        "2 move 30 40\n"
        "4 release right\n"
        "5 quit\n");
    InputState input;
    EXPECT_EQ(player.play(1, input), nullptr);
    EXPECT_EQ(input.x, 10.0);
    EXPECT_EQ(input.y, 20.0);
    const lumen::ScriptCommand* end = player.play(2, input);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->op, ScriptOp::Fault);
    EXPECT_EQ(end->message, "first");
    EXPECT_TRUE(input.down[1]);
    EXPECT_EQ(input.x, 10.0);  // the move after the fault waits for the next call
    EXPECT_EQ(player.play(2, input), nullptr);
    EXPECT_EQ(input.x, 30.0);
    EXPECT_EQ(player.play(3, input), nullptr);
    EXPECT_TRUE(input.down[1]);
    EXPECT_FALSE(player.quitDue(4));
    EXPECT_EQ(player.play(4, input), nullptr);
    EXPECT_FALSE(input.down[1]);
    EXPECT_TRUE(player.quitDue(5));
    end = player.play(5, input);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->op, ScriptOp::Quit);
}

TEST(ScriptPlayer, ALateCallCatchesUpOnEveryFrameBefore) {
    ScriptPlayer player = playerOf("1 press left\n2 release left\n3 move 5 6\n");
    InputState input;
    EXPECT_EQ(player.play(3, input), nullptr);
    EXPECT_FALSE(input.down[0]);
    EXPECT_EQ(input.x, 5.0);
}

TEST(ScriptPlayer, WithoutAScriptNothingPlaysAndNothingQuits) {
    ScriptPlayer player;
    InputState input;
    EXPECT_FALSE(player.playing());
    EXPECT_EQ(player.play(1, input), nullptr);
    EXPECT_FALSE(player.quitDue(INT64_MAX - 1));
    EXPECT_FALSE(player.seed().has_value());
}

TEST(InputRecorder, WritesTheSeedThenEachFramesChanges) {
    TempFile file("", ".script");
    lumen::InputRecorder recorder;
    ASSERT_TRUE(recorder.open(file.path(), "recording", 99));
    InputState a;
    InputState b = a;
    recorder.record(1, a, b);  // frame 1 always has the position
    b.down[0] = true;
    recorder.record(2, a, b);
    a = b;
    b.x = 1.5;
    b.down[0] = false;
    b.down[1] = true;
    recorder.record(3, a, b);
    a = b;
    recorder.record(4, a, b);  // nothing changed: no line
    b.y = -0.0;               // -0 differs from 0 bit for bit, and replays as itself
    recorder.record(5, a, b);
    recorder.quit(6);
    recorder.endRun(nullptr);
    const std::vector<std::string> expected = {
        "0 seed 99",      "1 move 0 0",        "2 press left",   "3 move 1.5 0",
        "3 release left", "3 press right",     "5 move 1.5 -0",  "6 quit"};
    EXPECT_EQ(lumen_test::readLines(file.path()), expected);
}
