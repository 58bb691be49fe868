// Lumen's command line: options over variables, the mistakes it names, the nearest setting of an
// unknown variable, --help made from the tables, outputs named as another format, and the names
// of the pictures F12 saves.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "backends/backend.h"
#include "run/command_line.h"
#include "run/run_outputs.h"
#include "run/snapshot.h"

using lumen::applyCommandLine;
using lumen::Settings;

namespace {

Settings withArgs(const std::vector<std::string>& args, Settings base = {}) {
    applyCommandLine(args, base);
    return base;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace

TEST(CommandLine, EveryOptionSetsItsSettingInBothFormsAndWins) {
    for (const lumen::SettingInfo& s : lumen::kSettings) {
        const std::string name = lumen::optionName(s);
        Settings base;
        base.*s.text = "from the variable";
        const Settings spaced = withArgs(lumen::optionTakesValue(s) ? std::vector<std::string>{name, "é 文 🎞"}
                                                                   : std::vector<std::string>{name},
                                         base);
        EXPECT_EQ(spaced.*s.text, lumen::optionTakesValue(s) ? "é 文 🎞" : "1") << name;
        EXPECT_TRUE(spaced.problems.empty()) << name;
        EXPECT_EQ(spaced.nameOf(s), name);
        const Settings joined = withArgs({name + "=a=b"}, base);
        EXPECT_EQ(joined.*s.text, "a=b") << name;
        // An empty value unsets, as an empty variable does.
        EXPECT_FALSE((withArgs({name + "="}, base).*s.text).has_value()) << name;
        // A variable not set by an option is named by the variable.
        EXPECT_EQ(Settings{}.nameOf(s), s.variable);
    }
}

TEST(CommandLine, TheLastOfAnOptionGivenTwiceHolds) {
    const Settings s = withArgs({"--seed", "1", "--seed=2"});
    EXPECT_EQ(s.seed, "2");
}

TEST(CommandLine, HelpAndVersionAreNoticedAnywhere) {
    EXPECT_TRUE(withArgs({"--seed", "3", "--help"}).help);
    EXPECT_TRUE(withArgs({"-h"}).help);
    EXPECT_TRUE(withArgs({"--version"}).version);
    EXPECT_FALSE(withArgs({}).help);
    // A value that looks like an option is a value: "--replay --help" replays a file of that name.
    const Settings s = withArgs({"--replay", "--help"});
    EXPECT_FALSE(s.help);
    EXPECT_EQ(s.script, "--help");
}

TEST(CommandLine, MistakesAreNamedOnceEachInOrder) {
    const Settings s = withArgs({"--bogus", "stray", "--bogus", "--seed"});
    ASSERT_EQ(s.problems.size(), 3u);
    EXPECT_EQ(s.problems[0], "Lumen: unknown option \"--bogus\"; --help lists the options");
    EXPECT_EQ(s.problems[1], "Lumen: unexpected argument \"stray\"; --help lists the options");
    EXPECT_EQ(s.problems[2], "Lumen: option --seed needs a value (N); --help lists the options");
    EXPECT_EQ(withArgs({"--"}).problems.size(), 1u);
    EXPECT_EQ(withArgs({"-"}).problems.size(), 1u);
    // Control characters in a mistake stay on one line.
    EXPECT_EQ(withArgs({"--a\nb"}).problems[0], "Lumen: unknown option \"--a\\nb\"; --help lists the options");
}

TEST(CommandLine, AnOptionsBadValueIsNamedByTheOption) {
    const lumen::RunSettings run = lumen::parseSettings(withArgs({"--fps", "fast"}));
    ASSERT_EQ(run.errors.size(), 1u);
    EXPECT_EQ(run.errors[0], "Lumen: bad --fps \"fast\": frames per second, from 0.000001 to 1000000");
}

TEST(CommandLine, UnknownVariablesNameTheNearestSetting) {
    Settings s;
    lumen::checkVariableNames({"HOME", "LUMEN_CAPTUR", "LUMEN_SEDD", "LUMEN_SEED", "LUMEN_HEADLES",
                               "LUMEN_TRACETIME", "LUMEN_", "XLUMEN_SEED"},
                              s);
    const std::vector<std::string> expected = {
        "Lumen: unknown setting LUMEN_CAPTUR (did you mean LUMEN_CAPTURE?)",
        "Lumen: unknown setting LUMEN_SEDD (did you mean LUMEN_SEED?)",
        "Lumen: unknown setting LUMEN_HEADLES (did you mean LUMEN_HEADLESS?)",
        "Lumen: unknown setting LUMEN_TRACETIME (did you mean LUMEN_TRACE_TIME?)",
        "Lumen: unknown setting LUMEN_ (did you mean LUMEN_FPS?)",
    };
    EXPECT_EQ(s.problems, expected);
    for (const lumen::SettingInfo& setting : lumen::kSettings)
        EXPECT_STREQ(lumen::nearestVariable(setting.variable), setting.variable);
}

TEST(CommandLine, HelpIsMadeFromTheTablesAndFitsEightyColumns) {
    const std::string help = lumen::usageText("Stackrise");
    const std::vector<std::string> lines = linesOf(help);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Usage: stackrise [OPTION]...");
    for (const std::string& line : lines) {
        EXPECT_LE(line.size(), 80u) << line;
        EXPECT_TRUE(line.empty() || line.back() != ' ') << "trailing blank: " << line;
    }
    for (const lumen::SettingInfo& s : lumen::kSettings) {
        EXPECT_NE(help.find("\n  " + std::string(s.option) + " "), std::string::npos) << s.option;
        EXPECT_NE(help.find(std::string("[") + s.variable + ":"), std::string::npos) << s.variable;
    }
    for (const lumen::WindowKey& key : lumen::kWindowKeys)
        EXPECT_NE(help.find("\n  " + std::string(key.keys) + " "), std::string::npos) << key.keys;
    for (const lumen::ExitStatus& s : lumen::kExitStatuses)
        EXPECT_NE(help.find("\n  " + std::to_string(s.status) + "   "), std::string::npos) << s.status;
    EXPECT_EQ(help.find("\n\n\n"), std::string::npos);
    EXPECT_EQ(help.back(), '\n');
}

TEST(CommandLine, PlayLineSaysHowToPlayAndEnd) {
    const std::string line = lumen::playLine("Stackrise");
    EXPECT_EQ(line, "Stackrise: drag with the left button to raise a tower, right-click it to tip it over; "
                    "Escape or closing the window ends the run, F11 fullscreen, F12 saves a picture");
}

TEST(CommandLine, PathsAreQuotedForTheShellOnlyWhenNeeded) {
    EXPECT_EQ(lumen::shellWord("/home/a/run.script"), "/home/a/run.script");
    EXPECT_EQ(lumen::shellWord("été/文件.script"), "été/文件.script");
    EXPECT_EQ(lumen::shellWord("my run.script"), "'my run.script'");
    EXPECT_EQ(lumen::shellWord("it's"), "'it'\\''s'");
    EXPECT_EQ(lumen::shellWord("$HOME"), "'$HOME'");
    EXPECT_EQ(lumen::shellWord(""), "''");
}

TEST(OutputFormats, APictureOrMovieNamedAsAnotherFormatIsRefused) {
    const auto error = [](std::optional<std::string> Settings::*setting, const std::string& path) {
        Settings s;
        s.*setting = path;
        return lumen::wrongFormatError(s);
    };
    for (const char* fine : {"shot.png", "shot.PNG", "shot", "/dev/stdout", "a.dir.jpg/shot", "shot.txt",
                             ".jpg", "été 文件/塔.png"})
        EXPECT_EQ(error(&Settings::capture, fine), "") << fine;
    EXPECT_EQ(error(&Settings::capture, "pic.jpg"),
              "Lumen: bad LUMEN_CAPTURE \"pic.jpg\": the picture is a PNG; name it .png or leave the extension off");
    EXPECT_NE(error(&Settings::capture, "dir/pic.JPEG"), "");
    EXPECT_NE(error(&Settings::capture, "pic.gif"), "");
    EXPECT_EQ(error(&Settings::movie, "run.gif"), "");
    EXPECT_EQ(error(&Settings::movie, "m.png"),
              "Lumen: bad LUMEN_MOVIE \"m.png\": the movie is a GIF; name it .gif or leave the extension off");
    EXPECT_NE(error(&Settings::movie, "m.mp4"), "");
    // The trace and the recording are text: any name.
    EXPECT_EQ(error(&Settings::trace, "trace.png"), "");
    EXPECT_EQ(error(&Settings::record, "run.gif"), "");
    // Named by the option that set it.
    Settings s = withArgs({"--picture", "p.webp"});
    EXPECT_EQ(lumen::wrongFormatError(s).rfind("Lumen: bad --picture \"p.webp\"", 0), 0u);
}

TEST(Snapshot, NamedByTitleDateAndTimeAndCountedWithinASecond) {
    EXPECT_EQ(lumen::snapshotName("Stackrise", "2026-12-09 23-45-12", 1), "Stackrise 2026-12-09 23-45-12.png");
    EXPECT_EQ(lumen::snapshotName("Stackrise", "2026-12-09 23-45-12", 2), "Stackrise 2026-12-09 23-45-12 (2).png");
}
