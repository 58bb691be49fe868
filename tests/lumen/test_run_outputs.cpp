// The table of output kinds: each kind's writer and setting, the refusal of one file named
// twice, and the order in which the outputs are opened and their failures reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "run/run_outputs.h"
#include "helpers.h"

using lumen::kOutputKinds;
using lumen::OpenAt;
using lumen::RunOutputs;
using lumen::Settings;
using test_support::TempDir;
using Path = std::optional<std::string> Settings::*;

TEST(OutputKinds, EachHasItsOwnWriterAndItsOwnWrittenFileSetting) {
    RunOutputs outputs;
    std::set<const void*> writers;
    std::vector<Path> settings;  // member pointers have no order
    for (const lumen::OutputKind& kind : kOutputKinds) {
        EXPECT_TRUE(writers.insert(&kind.writer(outputs)).second) << kind.name;
        EXPECT_EQ(std::count(settings.begin(), settings.end(), kind.setting), 0) << kind.name;
        settings.push_back(kind.setting);
        EXPECT_EQ(std::string(lumen::settingOf(kind.setting).type), "file, written") << kind.name;
        EXPECT_NE(std::string(kind.name), "");
    }
    // ... and every file a setting writes is an output kind.
    for (const lumen::SettingInfo& setting : lumen::kSettings) {
        const bool written = std::string(setting.type) == "file, written";
        EXPECT_EQ(std::count(settings.begin(), settings.end(), setting.text), written ? 1 : 0)
            << setting.variable;
    }
}

// Every pair of the script and the outputs naming one file (here by a name with spaces,
// accents, CJK and an emoji) is refused with the same words, the later one named first.
TEST(OutputKinds, NoOutputMayNameTheScriptOrAnotherOutput) {
    TempDir dir("same");
    const std::string path = dir.path() + "/é 文件 🎞.out";
    test_support::writeFile(path, "kept");
    const std::pair<Path, const char*> named[] = {{&Settings::script, "LUMEN_SCRIPT"},
                                                  {&Settings::trace, "LUMEN_TRACE"},
                                                  {&Settings::capture, "LUMEN_CAPTURE"},
                                                  {&Settings::movie, "LUMEN_MOVIE"},
                                                  {&Settings::record, "LUMEN_RECORD"}};
    for (std::size_t later = 1; later < std::size(named); ++later) {
        for (std::size_t earlier = 0; earlier < later; ++earlier) {
            Settings s;
            s.*named[earlier].first = path;
            s.*named[later].first = path;
            EXPECT_EQ(lumen::sameFileError(s), std::string("Lumen: ") + named[later].second +
                                                   " and " + named[earlier].second +
                                                   " name the same file " + path);
        }
    }
    // With everything named, the first clash in that order is the one reported.
    Settings all;
    for (const auto& [member, variable] : named) all.*member = path;
    EXPECT_EQ(lumen::sameFileError(all), "Lumen: LUMEN_TRACE and LUMEN_SCRIPT name the same file " + path);
    EXPECT_EQ(test_support::readFile(path), "kept");
}

TEST(OutputKinds, StreamsMayBeNamedTwice) {
    Settings s;
    s.trace = "/dev/null";
    s.capture = "/dev/null";
    s.movie = "/dev/null";
    s.record = "/dev/null";
    EXPECT_EQ(lumen::sameFileError(s), "");
}

TEST(RunOutputs, EachIsOpenedAtItsTimeAndTheFirstThatCannotBeIsReported) {
    TempDir dir("open");
    Settings s;
    s.trace = dir.path() + "/t.trace";
    s.capture = "/nonexistent/a.png";
    s.movie = "/nonexistent/b.gif";
    s.record = "/nonexistent/c.script";
    RunOutputs outputs;
    EXPECT_EQ(outputs.open(OpenAt::Session, s, 0), "");
    EXPECT_TRUE(outputs.trace.enabled());
    EXPECT_EQ(outputs.open(OpenAt::Init, s, 7).rfind("Lumen: cannot write picture /nonexistent/a.png: ", 0), 0u);
    EXPECT_FALSE(outputs.movie.wantsFrames());  // not opened after the picture failed
    EXPECT_EQ(outputs.open(OpenAt::InitWindowed, s, 7)
                  .rfind("Lumen: cannot write LUMEN_RECORD /nonexistent/c.script: ", 0), 0u);

    s.capture = dir.path() + "/a.png";
    RunOutputs later;
    EXPECT_EQ(later.open(OpenAt::Init, s, 7).rfind("Lumen: cannot write movie /nonexistent/b.gif: ", 0), 0u);
    EXPECT_TRUE(later.picture.wantsFrames());
    EXPECT_FALSE(later.trace.enabled());  // the trace is only opened with the Session
    later.free();
}

TEST(RunOutputs, FailuresAreReportedInTheTablesOrder) {
    RunOutputs outputs;
    EXPECT_EQ(outputs.firstFailure(), nullptr);
    outputs.recording.output().fail("late");
    EXPECT_EQ(outputs.firstFailure(), &outputs.recording.output());
    outputs.movie.output().fail("full");
    EXPECT_EQ(outputs.firstFailure(), &outputs.movie.output());
    outputs.trace.output().fail("gone");
    EXPECT_EQ(outputs.firstFailure(), &outputs.trace.output());
}
