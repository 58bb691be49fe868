// The run's settings parsed from the environment's text: ranges, number forms, what each
// problem says and which one Init raises first.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "run/settings.h"
#include "helpers.h"

using lumen::parseSettings;
using lumen::RunSettings;
using lumen::Settings;
using lumen::SimdPath;
using lumen_test::TempFile;

namespace {

const std::string kFpsRange = ": frames per second, from 0.000001 to 1000000";
const std::string kSeedForm = ": a decimal or 0x hex number below 2^64";

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
    EXPECT_EQ(run.errors[2], "Lumen: bad LUMEN_FAULT \"Nowhere:1:5\": OP:N:CODE[:MESSAGE], OP one of "
                             "Init, Free, Act, Rnd, RndF, AllocMem, AllocMem/skip, DrawRect, Mouse, "
                             "MouseX, MouseY");
    EXPECT_EQ(run.errors[3], "Lumen: " + script.path() + ":2: unknown command \"jump\"");
    EXPECT_FALSE(run.script.has_value());
    EXPECT_TRUE(run.headless);
    EXPECT_EQ(run.simd.path, SimdPath::Sse2);
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

// Every yes/no setting reads its text alike: 1/0, yes/no, true/false in any case, else refused.
TEST(Settings, EveryFlagTakesYesOrNoAndRefusesAnythingElse) {
    const std::pair<std::optional<std::string> Settings::*, bool RunSettings::*> flags[] = {
        {&Settings::headless, &RunSettings::headless},
        {&Settings::fullscreen, &RunSettings::fullscreen},
        {&Settings::traceTime, &RunSettings::traceTime}};
    for (const auto& [text, value] : flags) {
        const char* variable = lumen::settingOf(text).variable;
        const std::pair<const char*, bool> meanings[] = {{"1", true},  {"yes", true},  {"true", true},
                                                         {"YES", true}, {"True", true}, {"0", false},
                                                         {"no", false}, {"false", false}, {"No", false},
                                                         {"FALSE", false}};
        for (const auto& [given, meant] : meanings) {
            Settings s;
            s.*text = given;
            const RunSettings run = parseSettings(s);
            EXPECT_EQ(run.*value, meant) << variable << "=" << given;
            EXPECT_TRUE(run.errors.empty()) << variable << "=" << given;
        }
        for (const char* bad : {"2", "on", "y", "1 ", " yes", "oui", "ja"}) {
            Settings s;
            s.*text = bad;
            const RunSettings run = parseSettings(s);
            ASSERT_EQ(run.errors.size(), 1u) << variable << "=" << bad;
            EXPECT_EQ(run.errors[0], std::string("Lumen: bad ") + variable + " \"" + bad +
                                         "\": 1, yes or true; 0, no or false");
        }
    }
    EXPECT_FALSE(parseSettings(Settings{}).headless);
}

TEST(Settings, SimdNamesAPathOrIsRefused) {
    Settings s;
    s.simd = "scalar";
    EXPECT_EQ(parseSettings(s).simd.path, SimdPath::Scalar);
    EXPECT_EQ(lumen::simdPathFor(parseSettings(s).simd), SimdPath::Scalar);
    s.simd = "AVX2";  // names are lower case
    const RunSettings run = parseSettings(s);
    EXPECT_FALSE(run.simd.path.has_value());
    ASSERT_EQ(run.errors.size(), 1u);
    EXPECT_EQ(run.errors[0], "Lumen: bad LUMEN_SIMD \"AVX2\": scalar, sse2 or avx2");
    EXPECT_EQ(lumen::simdPathFor(parseSettings(Settings{}).simd), lumen::widestSimdPath());
}

TEST(SettingsTable, VariablesOptionsAndFieldsAreEachTheirOwn) {
    std::set<std::string> variables;
    std::set<std::string> options;
    std::vector<std::optional<std::string> Settings::*> fields;  // member pointers have no order
    for (const lumen::SettingInfo& s : lumen::kSettings) {
        const std::string variable = s.variable;
        EXPECT_EQ(variable.rfind("LUMEN_", 0), 0u) << variable;
        EXPECT_EQ(variable.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_"), std::string::npos) << variable;
        EXPECT_TRUE(variables.insert(variable).second) << variable;
        // "--name" and, when it takes one, its argument: "--seed N".
        const std::string option = std::string(s.option).substr(0, std::string(s.option).find(' '));
        EXPECT_EQ(option.rfind("--", 0), 0u) << variable;
        EXPECT_TRUE(options.insert(option).second) << variable << ": " << option;
        EXPECT_EQ(std::count(fields.begin(), fields.end(), s.text), 0) << variable;
        fields.push_back(s.text);
        for (const char* text : {s.type, s.values, s.unset, s.help})
            EXPECT_NE(std::string(text), "") << variable;
        EXPECT_EQ(std::string(s.help).find('\n'), std::string::npos) << variable;
    }
}

// Every variable of the table reaches its own field, non-ASCII text as it is; an empty one is
// unset.
TEST(SettingsTable, TheEnvironmentFillsEachSettingFromItsVariable) {
    for (const lumen::SettingInfo& s : lumen::kSettings) {
        for (const lumen::SettingInfo& other : lumen::kSettings) unsetenv(other.variable);
        const std::string value = std::string("é 文件 🎞 ") + s.variable;
        setenv(s.variable, value.c_str(), 1);
        const Settings read = Settings::fromEnvironment();
        for (const lumen::SettingInfo& other : lumen::kSettings) {
            const std::optional<std::string> expected =
                &other == &s ? std::optional<std::string>(value) : std::nullopt;
            EXPECT_EQ(read.*other.text, expected) << s.variable << " read as " << other.variable;
        }
        setenv(s.variable, "", 1);
        EXPECT_FALSE((Settings::fromEnvironment().*s.text).has_value()) << s.variable;
        unsetenv(s.variable);
    }
}
