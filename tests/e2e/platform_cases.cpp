#include "platform_cases.h"

#include <gtest/gtest.h>

namespace e2e::cases {

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
    EXPECT_NE(r.err.find("has no entry point \"Exit\""), std::string::npos) << r.err;
    // AllocMem is not bound yet, so there is no error record; Free is bound and called once.
    EXPECT_EQ(r.trace, std::vector<std::string>{"Free"});
    return r;
}

Run libraryWithoutTheLastNameFailsAllTheSame(const Platform& p) {
    Run r = p.run(p.install(p.fake("fake_no_stopbgmfade")), {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(p.errLines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("has no entry point \"StopBGMFade\""), std::string::npos) << r.err;
    // All other names are bound: the error record comes from AllocMem and goes back after Free.
    EXPECT_EQ(r.trace, (std::vector<std::string>{"AllocMem", "Free", "FreeMem"}));
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
    EXPECT_NE(err[0].find("(Lumen.lmd+0x"), std::string::npos) << err[0];
    EXPECT_NE(err[0].find(": invalid memory access"), std::string::npos) << err[0];
    EXPECT_NE(find(r.trace, "crash"), -1);
    // The record has no message: one live block at Free.
    EXPECT_NE(find(r.trace, "Free live=1"), -1);
    EXPECT_EQ(count(r.trace, "Free live="), 1);
    return r;
}

Run badScriptLineIsReportedAndEndsTheRun(const Platform& p) {
    Run r = p.runScript("1 move 10 20\n2 jump 3\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(".script:2: unknown command \"jump\""), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Stackrise: fault 0x3EA (1002) at 0x"), std::string::npos) << r.err;
    EXPECT_EQ(find(r.trace, "Act"), -1) << "the run never reaches a frame";
    EXPECT_EQ(count(r.trace, "Free live="), 1);
    return r;
}

}  // namespace e2e::cases
