// The run's settings parsed from the environment's text: ranges, number forms, what each
// problem says and which one Init raises first.
#include <gtest/gtest.h>

#include <string>

#include "run/settings.h"
#include "helpers.h"

using lumen::parseSettings;
using lumen::RunSettings;
using lumen::Settings;
using lumen::SimdPath;
using lumen_test::TempFile;

namespace {

const std::string kFpsRange = " (frames per second, from 0.000001 to 1000000)";
const std::string kSeedForm = " (a decimal or 0x hex number below 2^64)";

RunSettings withSeed(const std::string& text) {
    Settings s;
    s.seed = text;
    return parseSettings(s);
}

}  // namespace

TEST(Settings, FpsHoldsFromOneFrameIn11DaysToAMillionASecond) {
    EXPECT_EQ(lumen::parseFps("0.000001"), 1e-6);
    EXPECT_EQ(lumen::parseFps("1e-6"), 1e-6);
    EXPECT_EQ(lumen::parseFps("1000000"), 1e6);
    EXPECT_EQ(lumen::parseFps("59.94"), 59.94);
    for (const char* bad : {"0", "-60", "9.9e-7", "1000000.5", "1e7", "nan", "inf", "60 ", " 60",
                            "60fps", "0x3C", ""})
        EXPECT_FALSE(lumen::parseFps(bad).has_value()) << '"' << bad << '"';
}

TEST(Settings, ABadFpsIsQuotedAndLeavesTheRunUnpaced) {
    Settings s;
    s.fps = "fast";
    const RunSettings run = parseSettings(s);
    EXPECT_FALSE(run.fps.has_value());
    ASSERT_EQ(run.errors.size(), 1u);
    EXPECT_EQ(run.errors[0], "Lumen: bad LUMEN_FPS \"fast\"" + kFpsRange);
}

TEST(Settings, SeedIsDecimalOrHexBelow2To64) {
    EXPECT_EQ(withSeed("0").seed, 0u);
    EXPECT_EQ(withSeed("42").seed, 42u);
    EXPECT_EQ(withSeed("0x2a").seed, 42u);
    EXPECT_EQ(withSeed("0X2A").seed, 42u);
    EXPECT_EQ(withSeed("18446744073709551615").seed, UINT64_MAX);
    EXPECT_EQ(withSeed("0xFFFFFFFFFFFFFFFF").seed, UINT64_MAX);
    for (const char* bad : {"18446744073709551616", "0x10000000000000000", "-1", "0x", "1e3", "12x"}) {
        const RunSettings run = withSeed(bad);
        EXPECT_FALSE(run.seed.has_value()) << bad;
        ASSERT_EQ(run.errors.size(), 1u) << bad;
        EXPECT_EQ(run.errors[0], "Lumen: bad LUMEN_SEED \"" + std::string(bad) + "\"" + kSeedForm);
    }
}

TEST(Settings, ProblemsComeInInitsOrderAndTheRestIsStillParsed) {
    TempFile script("1 move 1 1\n2 jump\n", ".script");
    Settings s;
    s.script = script.path();
    s.fault = "Nowhere:1:5";
    s.fps = "0";
    s.seed = "x";
    s.headless = "1";
    s.simd = "sse2";
    const RunSettings run = parseSettings(s);
    ASSERT_EQ(run.errors.size(), 4u);
    EXPECT_EQ(run.errors[0], "Lumen: bad LUMEN_SEED \"x\"" + kSeedForm);
    EXPECT_EQ(run.errors[1], "Lumen: bad LUMEN_FPS \"0\"" + kFpsRange);
    EXPECT_EQ(run.errors[2].rfind("Lumen: bad LUMEN_FAULT \"Nowhere:1:5\"", 0), 0u) << run.errors[2];
    EXPECT_EQ(run.errors[3], "Lumen: " + script.path() + ":2: unknown command \"jump\"");
    EXPECT_FALSE(run.script.has_value());
    EXPECT_TRUE(run.headless);
    EXPECT_EQ(run.simd.path, SimdPath::Sse2);
    EXPECT_TRUE(run.sameFile.empty());
}

TEST(Settings, AGoodScriptAndFaultAreKept) {
    TempFile script("0 seed 7\n1 press left\n3 quit\n", ".script");
    Settings s;
    s.script = script.path();
    s.fault = "Act:2:0x20000001:stop";
    RunSettings run = parseSettings(s);
    EXPECT_TRUE(run.errors.empty());
    ASSERT_TRUE(run.script.has_value());
    EXPECT_EQ(run.script->seed, 7u);
    EXPECT_EQ(run.script->quitFrame, 3);
    EXPECT_TRUE(run.headless);  // a script makes the run headless
    EXPECT_FALSE(run.fault.due(lumen::FaultOp::Act));
    EXPECT_TRUE(run.fault.due(lumen::FaultOp::Act));
    EXPECT_EQ(run.fault.code(), 0x20000001u);
    EXPECT_EQ(run.fault.message(), "stop");
}

TEST(Settings, OnlyHeadlessOneMeansHeadless) {
    for (const char* value : {"0", "yes", "true", "1 "}) {
        Settings s;
        s.headless = value;
        EXPECT_FALSE(parseSettings(s).headless) << value;
    }
    Settings s;
    s.headless = "1";
    EXPECT_TRUE(parseSettings(s).headless);
    EXPECT_FALSE(parseSettings(Settings{}).headless);
}

TEST(Settings, OneFileNamedTwiceStopsEverythingElse) {
    TempFile trace("", ".trace");
    Settings s;
    s.trace = trace.path();
    s.capture = trace.path();
    s.seed = "bad";
    s.fault = "Act:1:5";
    RunSettings run = parseSettings(s);
    EXPECT_EQ(run.sameFile, "Lumen: LUMEN_CAPTURE and LUMEN_TRACE name the same file " + trace.path());
    EXPECT_TRUE(run.errors.empty());  // the bad seed is not even looked at
    EXPECT_FALSE(run.tracePath.has_value());
    EXPECT_FALSE(run.fault.due(lumen::FaultOp::Act));

    // An output over the script names the script first; the latest output is named first.
    TempFile script("1 quit\n", ".script");
    Settings over;
    over.script = script.path();
    over.movie = script.path();
    over.record = script.path();
    EXPECT_EQ(parseSettings(over).sameFile,
              "Lumen: LUMEN_MOVIE and LUMEN_SCRIPT name the same file " + script.path());
}

TEST(Settings, StreamsMayBeNamedTwice) {
    Settings s;
    s.trace = "/dev/null";
    s.capture = "/dev/null";
    s.movie = "/dev/null";
    const RunSettings run = parseSettings(s);
    EXPECT_TRUE(run.sameFile.empty());
    EXPECT_EQ(run.capturePath, "/dev/null");
}

TEST(Settings, SimdNamesAPathOrIsKeptAsUnknown) {
    Settings s;
    s.simd = "scalar";
    EXPECT_EQ(parseSettings(s).simd.path, SimdPath::Scalar);
    EXPECT_EQ(lumen::simdPathFor(parseSettings(s).simd), SimdPath::Scalar);
    s.simd = "AVX2";  // names are lower case
    const RunSettings run = parseSettings(s);
    EXPECT_FALSE(run.simd.path.has_value());
    EXPECT_EQ(run.simd.unknown, "AVX2");
    EXPECT_EQ(lumen::simdPathFor(run.simd), lumen::widestSimdPath());
    EXPECT_EQ(lumen::simdPathFor(parseSettings(Settings{}).simd), lumen::widestSimdPath());
}
