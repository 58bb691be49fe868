// Start-up, binding and the top-level handling, end to end: the real program against the real
// Lumen and against stand-in libraries, read through exit status, standard error and trace.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "harness.h"
#include "native_platform.h"

namespace fs = std::filesystem;

namespace {

const std::string kExe = STACKRISE_EXE;
const e2e::Native kNative(kExe, FAKES_DIR);

}  // namespace

TEST(Binding, MissingLibraryFailsWith3001BeforeAnyRuntimeCall) {
    // A library in the working directory must not be picked up.
    const std::string cwd = e2e::tempDir("cwd");
    fs::create_directories(cwd + "/Data");
    fs::copy_file(kNative.fake("fake_complete"), cwd + "/Data/Lumen.lmd");
    e2e::cases::missingLibraryFailsWith3001(kNative, kNative.install(""), cwd);
}

TEST(Binding, FileThatIsNotALibraryFailsWith3001) { e2e::cases::fileThatIsNotALibraryFailsWith3001(kNative); }

E2E_SHARED_BINDING_TESTS(Binding, kNative)
E2E_SHARED_TEXT_TESTS(Text, kNative)

TEST(Startup, OrderlyEndIsSilentWithStatusZero) {
    const e2e::Run r = e2e::cases::orderlyEndIsSilentWithStatusZero(kNative);
    // The record goes back right after Free, and nothing else happens.
    const int free = e2e::find(r.trace, "Free live=");
    ASSERT_NE(free, -1);
    ASSERT_EQ(static_cast<int>(r.trace.size()), free + 2);
    EXPECT_EQ(r.trace.back().rfind("FreeMem #", 0), 0u);
}

TEST(Startup, InitGetsAFreshCopyOfTheTitleStackrise) {
    const e2e::Run r = e2e::runScript(kExe, "1 quit\n");
    ASSERT_GE(r.trace.size(), 7u);
    // AppConfig, "Velt", "Stackrise" (replacing "Velt"), the record's own copy, Init, release.
    const std::vector<std::string> start(r.trace.begin(), r.trace.begin() + 7);
    EXPECT_EQ(start[0], "AllocMem 16 null -> #1");
    EXPECT_EQ(start[1], "AllocMem 26 null -> #2");
    EXPECT_EQ(start[2], "AllocMem 36 null -> #3");
    EXPECT_EQ(start[3], "FreeMem #2");
    EXPECT_EQ(start[4], "AllocMem 36 null -> #4");
    EXPECT_TRUE(std::regex_match(start[5], std::regex("Init title=\"Stackrise\" build=0x[0-9A-F]{16} one=1 "
                                                      "instance=set icon=set faultcell=set")))
        << start[5];
    EXPECT_EQ(start[6], "FreeMem #4");
    for (const auto& l : r.trace) EXPECT_EQ(l.find("Velt"), std::string::npos) << l;
}

TEST(Startup, FaultInActReachesTheTopOnceWithCodeMessageAndLocation) {
    const e2e::Run r = e2e::cases::faultInActReachesTheTopOnce(kNative, "2 fault 5000 the tower fell\n");
    EXPECT_EQ(e2e::count(r.trace, "AllocMem 32 \"skip\""), 1);
}

TEST(Startup, ProcessorFaultInsideLumenBecomesAnAccessViolation) { e2e::cases::invalidAccessInsideLumenBecomesAnAccessViolation(kNative); }

TEST(Startup, BadScriptLineIsReportedAndEndsTheRun) { e2e::cases::badScriptLineIsReportedAndEndsTheRun(kNative); }

// ---- The command line and the setting mistakes ---------------------------------------------

E2E_SHARED_COMMAND_LINE_TESTS(CommandLine, kNative)
