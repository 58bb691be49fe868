// The command line and the setting mistakes, end to end on every platform: the real program and
// Lumen, read from their standard output, standard error, status and trace.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "platform_cases.h"
#include "run/settings.h"

namespace e2e {
namespace cases {

namespace {

namespace fs = std::filesystem;

const std::string kPointer = "; --help lists the options";

// A folder whose name holds a space, accents, CJK and an emoji, as users' folders do.
std::string userFolder(const std::string& what) {
    const std::string dir = tempDir(what) + "/Mes dessins é 文件 🎞";
    fs::create_directories(dir);
    return dir;
}

// The run played nothing: Lumen's Init was called and the run ended before any frame.
void expectNothingPlayed(const Run& r) {
    EXPECT_NE(find(r.trace, "Init title=\"Stackrise\""), -1) << r.err;
    EXPECT_EQ(find(r.trace, "Act"), -1) << r.err;
    EXPECT_EQ(count(r.trace, "Free live="), 1) << r.err;
}

// One line on standard error, exactly `line`, status 2, nothing played.
void expectRefused(const Platform& p, const Run& r, const std::string& line) {
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(p.errLines(r.err), std::vector<std::string>{line});
    EXPECT_EQ(r.out, "");
    expectNothingPlayed(r);
}

const std::string kDrags =
    "1 move 300 500\n2 press left\n3 move 520 500\n5 release left\n6 move 700 400\n7 press left\n"
    "9 release left\n300 move 400 850\n301 press right\n303 release right\n320 quit\n";

}  // namespace

void helpShowsEveryOptionAndPlaysNothing(const Platform& p) {
    for (const char* help : {"--help", "-h"}) {
        const Run r = p.runArgs({help});
        EXPECT_EQ(r.status, 0) << help << ": " << r.err;
        EXPECT_EQ(r.err, "") << help;
        expectNothingPlayed(r);
        const std::vector<std::string> out = p.errLines(r.out);
        ASSERT_FALSE(out.empty()) << help;
        EXPECT_EQ(out[0], "Usage: " + p.commandName() + " [OPTION]...");
        for (const std::string& line : out) EXPECT_LE(line.size(), 80u) << line;
        // Every setting: its option (at the start of a line) and its variable.
        for (const lumen::SettingInfo& s : lumen::kSettings) {
            EXPECT_NE(r.out.find(std::string("\n  ") + s.option), std::string::npos) << s.option;
            EXPECT_NE(r.out.find(s.variable), std::string::npos) << s.variable;
        }
        for (const char* part : {"How to play:", "Drag with the left button", "Right-click", "Keys",
                                 "F11", "F12", "Escape", "Outputs:", "pictures folder", "Exit status:",
                                 "--record FILE, then"})
            EXPECT_NE(r.out.find(part), std::string::npos) << part;
        for (const lumen::ExitStatus& s : lumen::kExitStatuses)
            EXPECT_NE(r.out.find("\n  " + std::to_string(s.status) + "   "), std::string::npos) << s.status;
    }
    // --help wins over a mistake beside it: the user asked what to type.
    const Run both = p.runArgs({"--bogus", "--help"}, {{"LUMEN_SEED", "abc"}});
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(both.out.rfind("Usage: ", 0), 0u);
}

void versionNamesTheBuild(const Platform& p) {
    const Run r = p.runArgs({"--version"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::regex form(R"(Stackrise \d+\.\d+ \(build 0x[0-9A-F]{16}, Lumen \d+\.\d+ for (Linux x86-64|Windows x64|WebAssembly)\)\r?\n)");
    EXPECT_TRUE(std::regex_match(r.out, form)) << r.out;
    // The build is the one the Init record carries.
    const int init = find(r.trace, "Init ");
    ASSERT_NE(init, -1);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.trace[static_cast<size_t>(init)], m, std::regex("build=(0x[0-9A-F]{16})")));
    EXPECT_NE(r.out.find("(build " + m[1].str() + ","), std::string::npos) << r.out;
    expectNothingPlayed(r);
}

void usageMistakesAreOneLineAndStatusTwo(const Platform& p) {
    expectRefused(p, p.runArgs({"--bogus"}), "Stackrise: unknown option \"--bogus\"" + kPointer);
    expectRefused(p, p.runArgs({"--bogus=1"}), "Stackrise: unknown option \"--bogus\"" + kPointer);
    expectRefused(p, p.runArgs({"--headless", "--seed"}), "Stackrise: option --seed needs a value (N)" + kPointer);
    expectRefused(p, p.runArgs({"--picture"}), "Stackrise: option --picture needs a value (FILE)" + kPointer);
    expectRefused(p, p.runArgs({"play"}), "Stackrise: unexpected argument \"play\"" + kPointer);
    expectRefused(p, p.runArgs({"-x"}), "Stackrise: unexpected argument \"-x\"" + kPointer);
    // A bad value given as an option is named by the option.
    expectRefused(p, p.runArgs({"--seed", "abc"}),
                  "Stackrise: bad --seed \"abc\": a decimal or 0x hex number below 2^64");
    expectRefused(p, p.runArgs({"--headless=maybe"}),
                  "Stackrise: bad --headless \"maybe\": 1, yes or true; 0, no or false");
}

void optionsWinOverVariablesAndTakeAnyPath(const Platform& p) {
    const std::string dir = userFolder("options");
    const std::string script = dir + "/glissé 拖 🖱.script";
    writeFile(script, kDrags);
    // The reference: the variables alone.
    const Run byVariables = p.runArgs({}, {{"LUMEN_SCRIPT", script}, {"LUMEN_SEED", "7"}});
    ASSERT_EQ(byVariables.status, 0) << byVariables.err;
    EXPECT_NE(find(byVariables.trace, "Rnd 2 5 -> "), -1);
    // The options win over other values of the same variables, in both forms.
    const Run byOptions = p.runArgs({"--seed", "7", "--replay", script},
                                    {{"LUMEN_SEED", "5"}, {"LUMEN_SCRIPT", dir + "/missing.script"}});
    EXPECT_EQ(byOptions.status, 0) << byOptions.err;
    EXPECT_EQ(byOptions.err, "");
    EXPECT_EQ(byOptions.trace, byVariables.trace);
    const Run withEquals = p.runArgs({"--seed=7", "--replay=" + script});
    EXPECT_EQ(withEquals.trace, byVariables.trace);
    // --trace beats the harness's LUMEN_TRACE; --picture writes where it is told.
    const std::string trace = dir + "/trace 轨迹 ✨.txt";
    const std::string picture = dir + "/tour été 塔 🏙.png";
    const Run outputs = p.runArgs({"--replay", script, "--seed", "7", "--trace", trace, "--picture", picture});
    EXPECT_EQ(outputs.status, 0) << outputs.err;
    EXPECT_TRUE(outputs.trace.empty()) << "the option's trace, not the variable's, is written";
    EXPECT_EQ(lines(readFile(trace)), byVariables.trace);
    EXPECT_EQ(readFile(picture).substr(0, 8), "\x89PNG\r\n\x1a\n");
    // A flag option: --headless plays the built-in demo headless and says nothing about it.
    const Run headless = p.runArgs({"--headless", "--seed", "3"});
    EXPECT_EQ(headless.status, 0) << headless.err;
    EXPECT_EQ(headless.err, "");
    EXPECT_NE(find(headless.trace, "Act 1200"), -1);
    // A flag's variable takes yes as 1.
    const Run yes = p.runArgs({"--replay", script}, {{"LUMEN_HEADLESS", "yes"}, {"LUMEN_SEED", "7"}});
    EXPECT_EQ(yes.status, 0) << yes.err;
    EXPECT_EQ(yes.trace, byVariables.trace);
    fs::remove_all(fs::path(dir).parent_path());
}

void settingMistakesAreOneLineWithoutAPlace(const Platform& p) {
    const std::string dir = userFolder("mistakes");
    const std::string picture = dir + "/a.png";
    expectRefused(p, p.runArgs({}, {{"LUMEN_CAPTUR", picture}}),
                  "Stackrise: unknown setting LUMEN_CAPTUR (did you mean LUMEN_CAPTURE?)");
    EXPECT_FALSE(fs::exists(picture));
    expectRefused(p, p.runArgs({}, {{"LUMEN_SEDD", "3"}}),
                  "Stackrise: unknown setting LUMEN_SEDD (did you mean LUMEN_SEED?)");
    expectRefused(p, p.runArgs({}, {{"LUMEN_SEED", "abc"}}),
                  "Stackrise: bad LUMEN_SEED \"abc\": a decimal or 0x hex number below 2^64");
    expectRefused(p, p.runArgs({}, {{"LUMEN_HEADLESS", "oui"}}),
                  "Stackrise: bad LUMEN_HEADLESS \"oui\": 1, yes or true; 0, no or false");
    expectRefused(p, p.runArgs({}, {{"LUMEN_SIMD", "avx3"}}),
                  "Stackrise: bad LUMEN_SIMD \"avx3\": scalar, sse2 or avx2");
    // A picture or movie named as another format: refused before anything is written.
    const std::string jpeg = dir + "/tour.JPG";
    expectRefused(p, p.runArgs({"--picture", jpeg}),
                  "Stackrise: bad --picture \"" + jpeg + "\": the picture is a PNG; name it .png or "
                  "leave the extension off");
    EXPECT_FALSE(fs::exists(jpeg));
    const std::string png = dir + "/film.png";
    expectRefused(p, p.runArgs({}, {{"LUMEN_MOVIE", png}}),
                  "Stackrise: bad LUMEN_MOVIE \"" + png + "\": the movie is a GIF; name it .gif or "
                  "leave the extension off");
    EXPECT_FALSE(fs::exists(png));
    fs::remove_all(fs::path(dir).parent_path());
}

}  // namespace cases
}  // namespace e2e
