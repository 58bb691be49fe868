#include "platform_cases.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace e2e {

const std::regex& diagnosticPattern() {
    static const std::regex pattern(R"(Stackrise: fault 0x[0-9A-F]+ \(\d+\) at 0x[0-9a-f]+ \([^)]+\+0x[0-9a-f]+\): .+)");
    return pattern;
}

namespace {

// The names of the calls in a trace, each line's first word: the stand-ins trace bare names, a
// real Lumen its arguments and results as well.
std::vector<std::string> callNames(const std::vector<std::string>& trace) {
    std::vector<std::string> out;
    for (const auto& line : trace) out.push_back(line.substr(0, line.find(' ')));
    return out;
}

}  // namespace

namespace cases {

Run missingLibraryFailsWith3001(const Platform& p, const std::string& exe, const std::string& cwd) {
    Run r = p.run(exe, {}, cwd);
    EXPECT_EQ(r.status, 1);
    const auto err = p.errLines(r.err);
    EXPECT_EQ(err.size(), 1u) << r.err;
    EXPECT_TRUE(r.trace.empty()) << "no runtime call may happen";
    if (err.size() != 1) return r;
    EXPECT_TRUE(std::regex_match(err[0], diagnosticPattern())) << err[0];
    EXPECT_NE(err[0].find("fault 0xBB9 (3001)"), std::string::npos) << err[0];
    EXPECT_NE(err[0].find("cannot load Data/Lumen.lmd"), std::string::npos) << err[0];
    // The fault passed binding, staticInit and the entry; its place is the raise in the binding
    // routine, not a routine the fault passed through.
    const std::string function = p.functionAt(exe, err[0]);
    EXPECT_NE(function.find("startup::bindRuntime"), std::string::npos) << function;
    return r;
}

Run fileThatIsNotALibraryFailsWith3001(const Platform& p) {
    const std::string text = tempDir("text") + "/Lumen.lmd";
    writeFile(text, "this is not a library\n");
    Run r = p.run(p.install(text), {}, tempDir("emptycwd"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(p.errLines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("fault 0xBB9 (3001)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cannot load Data/Lumen.lmd"), std::string::npos) << r.err;
    EXPECT_TRUE(r.trace.empty());
    return r;
}

Run libraryWithoutExitCallsFreeButNeverInit(const Platform& p) {
    Run r = p.run(p.install(p.fake("fake_no_exit")), {});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("fault 0xBB9 (3001)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("has no entry point \"Exit\""), std::string::npos) << r.err;
    // AllocMem is not bound yet, so there is no error record; Free is bound and called once.
    EXPECT_EQ(callNames(r.trace), std::vector<std::string>{"Free"});
    return r;
}

Run libraryWithoutTheLastNameFailsAllTheSame(const Platform& p) {
    Run r = p.run(p.install(p.fake("fake_no_stopbgmfade")), {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(p.errLines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("fault 0xBB9 (3001)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("has no entry point \"StopBGMFade\""), std::string::npos) << r.err;
    // All other names are bound: the error record comes from AllocMem and goes back after Free.
    EXPECT_EQ(callNames(r.trace), (std::vector<std::string>{"AllocMem", "Free", "FreeMem"}));
    return r;
}

Run extraNamesAreIgnored(const Platform& p) {
    Run r = p.run(p.install(p.fake("fake_extra")), {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Init, then the stand-in's Act raises code 0: the orderly end.
    EXPECT_NE(find(r.trace, "Init"), -1);
    EXPECT_NE(find(r.trace, "Act"), -1);
    EXPECT_EQ(count(r.trace, "Free"), 1 + count(r.trace, "FreeMem"));
    EXPECT_EQ(count(r.trace, "ExtraName"), 0);
    return r;
}

Run orderlyEndIsSilentWithStatusZero(const Platform& p) {
    Run r = p.runScript("3 quit\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(find(r.trace, "Act 3"), -1);
    EXPECT_EQ(find(r.trace, "Act 4"), -1);
    const int raise = find(r.trace, "raise 0 null");
    const int free = find(r.trace, "Free live=");
    EXPECT_NE(raise, -1);
    EXPECT_GT(free, raise);
    EXPECT_EQ(count(r.trace, "Free live="), 1);
    // Only the error record (no message) is still live at Free.
    if (free >= 0) {
        EXPECT_EQ(r.trace[static_cast<size_t>(free)], "Free live=1");
    }
    return r;
}

Run invalidAccessInsideLumenBecomesAnAccessViolation(const Platform& p) {
    Run r = p.runScript("2 crash\n");
    EXPECT_EQ(r.status, 1);
    const auto err = p.errLines(r.err);
    EXPECT_EQ(err.size(), 1u) << r.err;
    if (err.empty()) return r;
    EXPECT_EQ(err[0].rfind("Stackrise: fault 0xC0000005 (3221225477) at 0x", 0), 0u) << err[0];
    EXPECT_TRUE(p.placeInLumen(err[0])) << err[0];
    EXPECT_NE(err[0].find(": invalid memory access"), std::string::npos) << err[0];
    EXPECT_NE(find(r.trace, "crash"), -1);
    // The record has no message: one live block at Free.
    EXPECT_NE(find(r.trace, "Free live=1"), -1);
    EXPECT_EQ(count(r.trace, "Free live="), 1);
    return r;
}

Run faultInActReachesTheTopOnce(const Platform& p, const std::string& script) {
    Run r = p.runScript(script);
    EXPECT_EQ(r.status, 1);
    const auto err = p.errLines(r.err);
    EXPECT_EQ(err.size(), 1u) << r.err;
    if (err.size() == 1) {
        EXPECT_TRUE(std::regex_match(err[0], diagnosticPattern())) << err[0];
        EXPECT_EQ(err[0].rfind("Stackrise: fault 0x1388 (5000) at 0x", 0), 0u) << err[0];
        EXPECT_TRUE(p.placeInLumen(err[0])) << "raised inside Lumen: " << err[0];
        EXPECT_EQ(err[0].substr(err[0].size() - 16), ": the tower fell");
    }
    EXPECT_EQ(count(r.trace, "raise 5000 \"the tower fell\""), 1) << "not raised again";
    EXPECT_EQ(count(r.trace, "Free live="), 1);
    const int free = find(r.trace, "Free live=");
    EXPECT_NE(free, -1);
    if (free == -1) return r;
    // The record and its message are the two live blocks; both go back only after Free.
    EXPECT_EQ(r.trace[static_cast<size_t>(free)], "Free live=2");
    EXPECT_EQ(static_cast<int>(r.trace.size()) - free - 1, 2);
    EXPECT_EQ(count(std::vector<std::string>(r.trace.begin() + free, r.trace.end()), "FreeMem #"), 2);
    return r;
}

Run badScriptLineIsReportedAndEndsTheRun(const Platform& p) {
    Run r = p.runScript("1 move 10 20\n2 jump 3\n");
    EXPECT_EQ(r.status, 2);
    const auto err = p.errLines(r.err);
    EXPECT_EQ(err.size(), 1u) << r.err;
    if (err.size() != 1) return r;
    // A mistake in the input, not a fault of the code: the message alone, no code or place.
    EXPECT_EQ(err[0].rfind("Stackrise: ", 0), 0u) << err[0];
    EXPECT_NE(err[0].find(".script:2: unknown command \"jump\""), std::string::npos) << err[0];
    EXPECT_EQ(err[0].find("fault 0x"), std::string::npos) << err[0];
    EXPECT_EQ(find(r.trace, "Act"), -1) << "the run never reaches a frame";
    EXPECT_EQ(count(r.trace, "Free live="), 1);
    return r;
}

Run nonAsciiNamesAreReadAndWrittenAsGiven(const Platform& p) {
    const std::string folder = tempDir("text") + "/Ordner \u00e4\u00f6 \u5831\u544a \U0001F3D7";
    std::filesystem::create_directories(std::filesystem::u8path(folder));
    const std::string script = folder + "/sc\u00e8ne \u811a\u672c \U0001F3AC.script";
    writeFile(script, "1 move 300 500\n2 press left\n4 release left\n6 quit\n");
    const std::string pictures[] = {folder + "/a \u00f6 \u5831\u544a \U0001F5BC.png",
                                    folder + "/a \u00fc \u5831\u544a \U0001F5BC.png"};
    for (const std::string& picture : pictures) {
        // A user's locale is UTF-8 (Wine reads the host's environment in it).
        const Run r = p.run(p.install(p.lumen()), {{"LUMEN_SCRIPT", script}, {"LUMEN_CAPTURE", picture}, {"LANG", "C.UTF-8"}});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(find(r.trace, "Act 6"), -1);
    }
    // Each picture at its own name, whole; nothing else beside them.
    for (const std::string& picture : pictures) {
        const std::string bytes = readFile(picture);
        EXPECT_EQ(bytes.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0) << picture;
    }
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::u8path(folder))) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 3);
    return Run{};
}

Run byteOrderMarkIsSkipped(const Platform& p) {
    Run r = p.runScript("\xEF\xBB\xBF" "1 move 300 500\n2 press left\n3 quit\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(find(r.trace, "MouseX -> 300"), -1);
    EXPECT_NE(find(r.trace, "Act 3"), -1);
    return r;
}

}  // namespace cases
}  // namespace e2e
