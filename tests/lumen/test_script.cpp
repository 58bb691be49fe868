// The input script's parser: every command, every error with its line, and odd bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "run/script.h"

using lumen::parseScript;
using lumen::ScriptOp;

namespace {

// The error text "LINE: WHAT" of `text`, or "ok".
std::string errorOf(std::string_view text) {
    const lumen::ScriptParse p = parseScript(text);
    if (p.ok()) return "ok";
    return std::to_string(p.error->line) + ": " + p.error->what;
}

// Each script's error text ("ok" where it parses).
void expectErrors(const std::vector<std::pair<std::string, std::string>>& cases) {
    for (const auto& [text, error] : cases) EXPECT_EQ(errorOf(text), error) << text;
}

}  // namespace

TEST(ScriptParser, EveryCommand) {
    const lumen::ScriptParse p = parseScript(
        "0 seed 0x2A\n"
        "1 move 300 -12.5\n"
        "1 press left\n"
        "2 press right\n"
        "3 release left\n"
        "4 release right\n"
        "5 fault 5000 broken  beyond   repair  \n"
        "6 fault 0xC0000005\n"
        "7 crash\n"
        "8 quit\n");
    ASSERT_TRUE(p.ok()) << p.error->what;
    EXPECT_EQ(p.script.seed, 42u);
    const auto& c = p.script.commands;
    ASSERT_EQ(c.size(), 9u);
    EXPECT_EQ(c[0].op, ScriptOp::Move);
    EXPECT_EQ(c[0].frame, 1);
    EXPECT_EQ(c[0].line, 2);
    EXPECT_EQ(c[0].x, 300.0);
    EXPECT_EQ(c[0].y, -12.5);
    EXPECT_EQ(c[1].op, ScriptOp::Press);
    EXPECT_EQ(c[1].button, 0);
    EXPECT_EQ(c[2].op, ScriptOp::Press);
    EXPECT_EQ(c[2].button, 1);
    EXPECT_EQ(c[3].op, ScriptOp::Release);
    EXPECT_EQ(c[3].button, 0);
    EXPECT_EQ(c[4].button, 1);
    EXPECT_EQ(c[5].op, ScriptOp::Fault);
    EXPECT_EQ(c[5].code, 5000u);
    EXPECT_TRUE(c[5].hasMessage);
    EXPECT_EQ(c[5].message, "broken  beyond   repair");
    EXPECT_EQ(c[6].code, 0xC0000005u);
    EXPECT_FALSE(c[6].hasMessage);
    EXPECT_EQ(c[7].op, ScriptOp::Crash);
    EXPECT_EQ(c[8].op, ScriptOp::Quit);
    EXPECT_EQ(p.script.quitFrame, 8);
}

TEST(ScriptParser, CommentsBlankLinesAndLineEndings) {
    const lumen::ScriptParse p = parseScript(
        "# a comment\r\n"
        "\r\n"
        "   \t\n"
        "  # an indented comment\n"
        "\t3  move\t1e3   2 \r\n"
        "3 quit");  // no newline at the end
    ASSERT_TRUE(p.ok()) << p.error->what;
    ASSERT_EQ(p.script.commands.size(), 2u);
    EXPECT_EQ(p.script.commands[0].line, 5);
    EXPECT_EQ(p.script.commands[0].x, 1000.0);
    EXPECT_EQ(p.script.commands[0].y, 2.0);
    EXPECT_FALSE(p.script.seed.has_value());
}

TEST(ScriptParser, MoveTakesAnyDouble) {
    const lumen::ScriptParse p = parseScript("1 move inf -inf\n2 move nan -0\n3 move 1e308 5e-324\n");
    ASSERT_TRUE(p.ok()) << p.error->what;
    const auto& c = p.script.commands;
    EXPECT_EQ(c[0].x, INFINITY);
    EXPECT_EQ(c[0].y, -INFINITY);
    EXPECT_TRUE(std::isnan(c[1].x));
    EXPECT_TRUE(std::signbit(c[1].y));
    EXPECT_EQ(c[2].x, 1e308);
    EXPECT_EQ(c[2].y, 5e-324);
}

TEST(ScriptParser, ImplicitQuitOneFrameAfterTheLastLine) {
    lumen::ScriptParse p = parseScript("5 move 1 2\n9 press left\n");
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.script.quitFrame, 10);
    ASSERT_EQ(p.script.commands.size(), 3u);
    EXPECT_EQ(p.script.commands.back().op, ScriptOp::Quit);
    EXPECT_EQ(p.script.commands.back().frame, 10);
    EXPECT_EQ(p.script.commands.back().line, 0);

    p = parseScript("");  // nothing at all: the first Act ends the run
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.script.quitFrame, 1);
    p = parseScript("0 seed 7\n");
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.script.quitFrame, 1);
    // A written quit is the end; nothing is added after it.
    p = parseScript("4 quit\n6 move 1 1\n");
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.script.quitFrame, 4);
    EXPECT_EQ(p.script.commands.size(), 2u);
}

TEST(ScriptParser, SameFrameAndEqualFramesAreFine) {
    expectErrors({
        {"3 move 1 1\n3 move 2 2\n3 press left\n4 release left\n4 press right\n", "ok"},
        // A release of a button that is up does nothing and is allowed.
        {"2 release left\n", "ok"},
        // Press, release and press again in later frames.
        {"1 press left\n2 release left\n3 press left\n", "ok"},
    });
}

TEST(ScriptParser, ErrorsNameTheirLine) {
    expectErrors({
        {"1 move 1 1\n\n# c\n2 jump\n", "4: unknown command \"jump\""},
        {"x1 move 1 1\n", "1: bad number \"x1\""},
        {"-1 quit\n", "1: bad number \"-1\""},
        {"1.5 quit\n", "1: bad number \"1.5\""},
        {"99999999999999999999 quit\n", "1: bad number \"99999999999999999999\""},
        {"1 move 1 x1\n", "1: bad number \"x1\""},
        {"1 move 1e999 1\n", "1: bad number \"1e999\""},
        {"1 move 12px 1\n", "1: bad number \"12px\""},
        {"1 move 1\n", "1: missing argument"},
        {"1 move\n", "1: missing argument"},
        {"1 press\n", "1: missing argument"},
        {"1 fault\n", "1: missing argument"},
        {"0 seed\n", "1: missing argument"},
        {"7\n", "1: missing command"},
        {"1 press middle\n", "1: unknown button \"middle\""},
        {"1 press LEFT\n", "1: unknown button \"LEFT\""},
        {"1 move 1 2 3\n", "1: extra argument \"3\""},
        {"1 quit now\n", "1: extra argument \"now\""},
        {"1 press left twice\n", "1: extra argument \"twice\""},
        {"0 seed 1 2\n", "1: extra argument \"2\""},
    });
}

TEST(ScriptParser, FramesNeverGoBack) {
    expectErrors({
        {"5 move 1 1\n3 move 2 2\n", "2: frames go back (3 after 5)"},
        {"0 seed 1\n2 quit\n1 quit\n", "3: frames go back (1 after 2)"},
    });
}

TEST(ScriptParser, SeedRules) {
    EXPECT_EQ(parseScript("0 seed 18446744073709551615\n").script.seed, UINT64_MAX);
    expectErrors({
        {"0 seed 18446744073709551615\n", "ok"},
        {"0 seed 18446744073709551616\n", "1: bad number \"18446744073709551616\""},
        {"0 seed -1\n", "1: bad number \"-1\""},
        {"0 seed 0x\n", "1: bad number \"0x\""},
        {"1 seed 5\n", "1: seed only on frame 0 before every other line"},
        {"1 move 0 0\n0 seed 5\n", "2: frames go back (0 after 1)"},
        {"0 seed 5\n0 seed 6\n", "2: seed only on frame 0 before every other line"},
        // Comments before the seed are not lines of the script.
        {"# first\n\n0 seed 5\n", "ok"},
        // Frame 0 holds nothing else.
        {"0 move 1 1\n", "1: frame 0 is only for seed"},
        {"0 seed 1\n0 quit\n", "2: frame 0 is only for seed"},
    });
}

TEST(ScriptParser, ButtonRules) {
    expectErrors({
        {"4 press left\n4 release left\n", "2: press and release of left in frame 4"},
        {"3 press right\n4 release right\n4 press right\n", "3: press and release of right in frame 4"},
        {"4 release left\n4 press left\n", "2: press and release of left in frame 4"},
        {"1 press left\n5 press left\n", "2: press of left while it is down"},
        {"1 press right\n1 press left\n2 press right\n", "3: press of right while it is down"},
        // The two buttons are independent.
        {"4 press left\n4 release right\n5 release left\n5 press right\n", "ok"},
    });
}

TEST(ScriptParser, FaultCodes) {
    EXPECT_EQ(parseScript("1 fault 4294967295\n").script.commands[0].code, 0xFFFFFFFFu);
    EXPECT_EQ(parseScript("1 fault 0X1388 m\n").script.commands[0].code, 5000u);
    EXPECT_EQ(parseScript("1 fault 0 end with words\n").script.commands[0].message, "end with words");
    expectErrors({
        {"1 fault 4294967296\n", "1: fault code out of range \"4294967296\""},
        {"1 fault 0x100000000\n", "1: fault code out of range \"0x100000000\""},
        {"1 fault 12ab\n", "1: bad number \"12ab\""},
        {"1 fault 0x80000000 text\n", "1: a message only goes with codes below 0x80000000"},
    });
    // The message keeps '#' and quotes: only whole lines are comments.
    const auto p = parseScript("1 fault 7 say \"hi\" # not a comment\n");
    EXPECT_EQ(p.script.commands[0].message, "say \"hi\" # not a comment");
}

TEST(ScriptParser, BadBytesAreQuotedSafely) {
    expectErrors({
        {std::string("1 ju\0mp\n", 8), "1: unknown command \"ju\\x00mp\""},
        {"1 \xFF\xFE\n", "1: unknown command \"\\xFF\\xFE\""},
        {"1 caf\xC3\xA9\n", "1: unknown command \"caf\xC3\xA9\""},
    });
    // A long token is cut in the message.
    const std::string what = errorOf("1 " + std::string(500, 'z') + "\n");
    EXPECT_EQ(what, "1: unknown command \"" + std::string(40, 'z') + "\"...");
}

TEST(ScriptParser, ErrorText) {
    EXPECT_EQ(lumen::scriptErrorText("runs/a.script", {12, "missing argument"}),
              "Lumen: runs/a.script:12: missing argument");
}

TEST(ScriptParser, RandomBytesNeverBreakIt) {
    // Any bytes give a script or an error with a line inside the text; no crash, no hang.
    std::mt19937_64 gen(12345);
    const std::string alphabet = "0123456789 \t\n\r#-.xeinfmovpresklatqudcghbw\"\\\xFF";
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int n = static_cast<int>(gen() % 200);
        for (int i = 0; i < n; ++i) {
            text += (gen() % 8 == 0) ? static_cast<char>(gen() & 0xFF)
                                     : alphabet[gen() % alphabet.size()];
        }
        const lumen::ScriptParse p = parseScript(text);
        if (p.ok()) {
            // Frames >= 1 and non-decreasing, and the run ends at a quit that is in the list.
            bool quitListed = false;
            int64_t last = 1;
            for (const lumen::ScriptCommand& c : p.script.commands) {
                ASSERT_GE(c.frame, last);
                last = c.frame;
                quitListed |= c.op == ScriptOp::Quit && c.frame == p.script.quitFrame;
            }
            EXPECT_TRUE(quitListed);
        } else {
            const auto lines = 1 + std::count(text.begin(), text.end(), '\n');
            EXPECT_GE(p.error->line, 1);
            EXPECT_LE(p.error->line, lines);
            EXPECT_FALSE(p.error->what.empty());
        }
    }
}

TEST(ParseUnsigned, DecimalAndHex) {
    EXPECT_EQ(lumen::parseUnsigned("0"), 0u);
    EXPECT_EQ(lumen::parseUnsigned("0xff"), 255u);
    EXPECT_EQ(lumen::parseUnsigned("0XFFFFFFFFFFFFFFFF"), UINT64_MAX);
    EXPECT_FALSE(lumen::parseUnsigned(""));
    EXPECT_FALSE(lumen::parseUnsigned("+1"));
    EXPECT_FALSE(lumen::parseUnsigned(" 1"));
    EXPECT_FALSE(lumen::parseUnsigned("0x-1"));
    EXPECT_FALSE(lumen::parseUnsigned("0x10000000000000000"));
}
