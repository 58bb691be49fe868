// The web build end to end: the cases shared by every platform (tests/e2e/platform_cases.h), run
// by node from this native driver.
//
//     web_e2e_tests [GTEST OPTIONS] --node NODE --web BUILD/bin/stackrise.js
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <tuple>
#include <vector>

#include "output_checks.h"
#include "web_platform.h"

namespace fs = std::filesystem;

namespace {

std::unique_ptr<web::Web> theWeb;
const web::Web& platform() { return *theWeb; }

// The folder of an installed copy.
std::string folderOf(const std::string& exe) { return fs::path(exe).parent_path().string(); }

}  // namespace

// ---- Binding ------------------------------------------------------------------------------

TEST(WebBinding, MissingLibraryFailsWith3001NamingThePathTriedAndTheReason) {
    // A whole export list in the working directory must not be picked up.
    const std::string cwd = e2e::tempDir("webcwd");
    fs::create_directories(cwd + "/Data");
    fs::copy_file(platform().fake("fake_complete"), cwd + "/Data/Lumen.lmd");
    const std::string exe = platform().install("");
    const e2e::Run r = e2e::cases::missingLibraryFailsWith3001(platform(), exe, cwd);
    // Beside the program's script, whatever the working directory.
    std::string expected = "(";
    expected.append(folderOf(exe)).append("/Data/Lumen.lmd: No such file or directory)\n");
    EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
}

TEST(WebBinding, FileThatIsNotALibraryFailsWith3001) {
    const e2e::Run r = e2e::cases::fileThatIsNotALibraryFailsWith3001(platform());
    EXPECT_NE(r.err.find("/Data/Lumen.lmd: not a Lumen export list)\n"), std::string::npos) << r.err;
}

E2E_SHARED_BINDING_TESTS(WebBinding, platform())
E2E_SHARED_TEXT_TESTS(WebText, platform())

// LUMEN_SCRIPT=/dev/stdin with a pipe on standard input, as a shell gives it: read where it
// stands (the host's file system would read it at an offset, which a pipe refuses).
TEST(WebText, AScriptFromAPipeOnStandardInputIsRead) {
    const std::string dir = e2e::tempDir("webpipe");
    const std::string piped = dir + "/piped.sh";
    e2e::writeFile(piped, "#!/bin/sh\nprintf '1 move 300 500\\n2 press left\\n4 quit\\n' | exec '" +
                              platform().install(platform().lumen()) + "'\n");
    fs::permissions(piped, fs::perms::owner_all);
    const e2e::Run r = platform().run(piped, {{"LUMEN_SCRIPT", "/dev/stdin"}}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(e2e::find(r.trace, "MouseX -> 300"), -1);
    EXPECT_NE(e2e::find(r.trace, "Act 4"), -1);
}

// ---- Start-up and faults --------------------------------------------------------------------

TEST(WebStartup, OrderlyEndIsSilentWithStatusZero) { e2e::cases::orderlyEndIsSilentWithStatusZero(platform()); }

TEST(WebStartup, FaultInActReachesTheTopOnceWithCodeMessageAndPlace) {
    e2e::cases::faultInActReachesTheTopOnce(platform(), "2 fault 5000 the tower fell\n");
}

TEST(WebStartup, InvalidAccessInsideLumenBecomesAnAccessViolation) {
    const e2e::Run r = e2e::cases::invalidAccessInsideLumenBecomesAnAccessViolation(platform());
    // The write to address 0 does no harm on the web: Lumen raises the fault itself, at once.
    const int crash = e2e::find(r.trace, "crash");
    ASSERT_NE(crash, -1);
    ASSERT_GT(r.trace.size(), static_cast<size_t>(crash) + 1);
    EXPECT_EQ(r.trace[static_cast<size_t>(crash) + 1], "raise 3221225477 null");
}

TEST(WebStartup, BadScriptLineIsReportedAndEndsTheRun) {
    const e2e::Run r = e2e::cases::badScriptLineIsReportedAndEndsTheRun(platform());
    // Raised in Lumen's Init, which reached the raise through a call that may throw.
    EXPECT_NE(e2e::find(r.trace, "raise 1002 \"Lumen: "), -1);
}

// ---- The command line: node's process.argv --------------------------------------------------

E2E_SHARED_COMMAND_LINE_TESTS(WebCommandLine, platform())

// ---- The town -------------------------------------------------------------------------------

E2E_SHARED_TOWN_TESTS(WebTown, platform())

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string node;
    std::string program;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--node") == 0) node = argv[i + 1];
        if (std::strcmp(argv[i], "--web") == 0) program = argv[i + 1];
    }
    if (node.empty() || program.empty()) {
        std::fprintf(stderr, "usage: %s [GTEST OPTIONS] --node NODE --web stackrise.js\n", argv[0]);
        return 2;
    }
    theWeb = std::make_unique<web::Web>(node, fs::absolute(program).string());
    return RUN_ALL_TESTS();
}

// ---- Outputs --------------------------------------------------------------------------------

// The shell's `>>` reaches a run in node as it reaches a native one: the trace through
// /dev/stdout comes after the log's earlier lines, which stay.
TEST(WebOutputs, AppendRedirectionOfStdoutKeepsEarlierLines) {
    const std::string dir = e2e::tempDir("webappend");
    e2e::writeFile(dir + "/run.script", "1 move 10 10\n3 quit\n");
    e2e::writeFile(dir + "/log.txt", "earlier line\n");
    e2e::RunOptions options;
    options.cwd = dir;
    options.redirections = ">> log.txt";
    const e2e::Run r = e2e::run(platform().install(platform().fake("fake_complete")),
                                {{"LUMEN_SCRIPT", dir + "/run.script"}, {"LUMEN_TRACE", "/dev/stdout"}}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> log = e2e::lines(e2e::readFile(dir + "/log.txt"));
    ASSERT_GT(log.size(), 5u);
    EXPECT_EQ(log[0], "earlier line");
    EXPECT_EQ(log[1].rfind("AllocMem ", 0), 0u) << log[1];
    EXPECT_EQ(e2e::count(log, "Free live="), 1);
    fs::remove_all(dir);
}

// The program's script, its module and its library are never written over.
TEST(WebOutputs, TheProgramAndItsLibraryAreRefused) {
    const std::string exe = platform().install(platform().fake("fake_complete"));
    const std::string dir = folderOf(exe), script = dir + "/run.script";
    e2e::writeFile(script, "3 quit\n");
    const std::string library = e2e::readFile(dir + "/Data/Lumen.lmd"), wasm = e2e::readFile(dir + "/stackrise.wasm");
    for (const auto& [variable, file, what] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"LUMEN_CAPTURE", dir + "/Data/Lumen.lmd", "Lumen's library"}, {"LUMEN_MOVIE", dir + "/stackrise.wasm", "the program"}}) {
        const e2e::Run r = platform().run(exe, {{"LUMEN_SCRIPT", script}, {variable, file}}, "");
        e2e::expectOneSettingLine(r, {variable + " and " + what + " name the same file " + file});
    }
    EXPECT_TRUE(e2e::readFile(dir + "/Data/Lumen.lmd") == library);
    EXPECT_TRUE(e2e::readFile(dir + "/stackrise.wasm") == wasm);
}
