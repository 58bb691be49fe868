// End-to-end cases that hold on every platform, written once against a Platform: the native
// build run directly (tests/e2e), the Windows build run under Wine (tests/wine), the web build
// run by node (tests/web). Each returns the run it checked, for the checks that only one
// platform adds.
#pragma once

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

// How one build is installed and run.
class Platform {
public:
    virtual ~Platform() = default;
    // A copy of the program in a folder of its own with `library` ("" for none) beside it as
    // Data/Lumen.lmd; the copy's path.
    virtual std::string install(const std::string& library) const = 0;
    // The stand-in library `name` (tests/support/fake_lumen.cpp) built for this platform.
    virtual std::string fake(const std::string& name) const = 0;
    // The build's own Lumen (its Data/Lumen.lmd), to install beside a copy of the program.
    virtual std::string lumen() const = 0;
    // Runs `exe` with `env` in `cwd` ("" keeps ours).
    virtual Run run(const std::string& exe, const std::map<std::string, std::string>& env,
                    const std::string& cwd = "") const = 0;
    // Runs the build's program (with the real Lumen) on `script` with LUMEN_SEED `seed`.
    virtual Run runScript(const std::string& script, const std::string& seed = "1") const = 0;
    // Runs the build's program (with the real Lumen) with `args` as its command line and `env`
    // (LUMEN_TRACE into the Run's trace unless env names one); its standard output is kept.
    virtual Run runArgs(const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& env = {}) const = 0;
    // The program's command name as --help shows it: "stackrise", "stackrise.exe".
    virtual std::string commandName() const { return "stackrise"; }
    // The lines of standard error (a Windows program ends them with CR LF).
    virtual std::vector<std::string> errLines(const std::string& err) const = 0;
    // The function of the program copy `exe` that holds the code place named in a diagnostic
    // line ("" if it names none there).
    virtual std::string functionAt(const std::string& exe, const std::string& diagnosticLine) const = 0;
    // Whether the code place named in a diagnostic line lies in Lumen: in its own module where
    // Lumen is a library of its own.
    virtual bool placeInLumen(const std::string& diagnosticLine) const {
        return diagnosticLine.find("(Lumen.lmd+0x") != std::string::npos;
    }
};

// A diagnostic line: "Stackrise: fault 0xHEX (DEC) at 0xADDRESS (MODULE+0xOFFSET): MESSAGE".
const std::regex& diagnosticPattern();

namespace cases {

// `exe` (a copy without a library) run in `cwd`: fault 3001 on one line, raised in the binding
// routine, no runtime call.
Run missingLibraryFailsWith3001(const Platform& p, const std::string& exe, const std::string& cwd);
// A Lumen.lmd that is no library: fault 3001 on one line, no runtime call.
Run fileThatIsNotALibraryFailsWith3001(const Platform& p);
// A library without Exit: Free is called once, Init never.
Run libraryWithoutExitCallsFreeButNeverInit(const Platform& p);
// A library without the last name of the table fails as one without any other.
Run libraryWithoutTheLastNameFailsAllTheSame(const Platform& p);
// A library with a name more than the table's: ignored; the stand-in's Act ends the run in order.
Run extraNamesAreIgnored(const Platform& p);
// "3 quit": status 0, nothing on standard error, Free after the orderly raise with the record live.
Run orderlyEndIsSilentWithStatusZero(const Platform& p);
// "2 crash": an invalid access inside Lumen ends as an access violation with one line.
Run invalidAccessInsideLumenBecomesAnAccessViolation(const Platform& p);
// `script` ends with "fault 5000 the tower fell": the fault reaches the top once, raised inside
// Lumen, with its message; the record and the message go back after Free.
Run faultInActReachesTheTopOnce(const Platform& p, const std::string& script);
// A script line Lumen cannot read: fault 1002 naming the line, before any frame.
Run badScriptLineIsReportedAndEndsTheRun(const Platform& p);

// Names with accents, CJK, an emoji and spaces, for the folder, the script and the picture: the
// script is read and the picture written at exactly the names given, and two names that differ
// only in one accented letter are two files.
Run nonAsciiNamesAreReadAndWrittenAsGiven(const Platform& p);
// A script that starts with a UTF-8 byte-order mark plays as without it.
Run byteOrderMarkIsSkipped(const Platform& p);

// The town (town_cases.cpp), scripted and headless, each drawn rectangle computed from the
// random values that the same trace reports:
// a tower raised by a drag rises, stands, is tipped over by a right click, falls and is freed;
void raisedStandingAndFallingTowerFollowTheTownRules(const Platform& p);
// of 31 drags the last is dropped (30 towers at most);
void theThirtyFirstDragIsDropped(const Platform& p);
// a freed slot is reused at the lowest index, and so painted first.
void aFreedSlotIsReusedAtTheLowestIndex(const Platform& p);

// The command line and the setting mistakes (command_line_cases.cpp):
// --help and -h: the usage on standard output, every option of the settings table in it, status
// 0, nothing played (Init, then the orderly end), nothing on standard error;
void helpShowsEveryOptionAndPlaysNothing(const Platform& p);
// --version: "Stackrise V (build 0x..., Lumen V for PLATFORM)", status 0, nothing played;
void versionNamesTheBuild(const Platform& p);
// an unknown option, a missing value, a stray argument: one line naming it, status 2;
void usageMistakesAreOneLineAndStatusTwo(const Platform& p);
// an option means what its variable means and wins over it; paths with spaces, accents, CJK and
// emoji reach the run as typed;
void optionsWinOverVariablesAndTakeAnyPath(const Platform& p);
// unknown LUMEN_ names name the nearest setting; yes/no settings and LUMEN_SIMD are checked
// alike; a picture or movie named as another format is refused and nothing is written; every
// such line is the message alone, without a code or a place.
void settingMistakesAreOneLineWithoutAPlace(const Platform& p);

}  // namespace cases
}  // namespace e2e

// The tests of the cases that add no check of a platform's own, in the suites `binding` and
// `town`, on `platform` (an expression giving the e2e::Platform): each driver's copy of them.
#define E2E_SHARED_BINDING_TESTS(binding, platform)                                                    \
    TEST(binding, LibraryWithoutExitCallsFreeButNeverInit) {                                           \
        e2e::cases::libraryWithoutExitCallsFreeButNeverInit(platform);                                 \
    }                                                                                                  \
    TEST(binding, LibraryWithoutTheLastNameFailsAllTheSame) {                                          \
        e2e::cases::libraryWithoutTheLastNameFailsAllTheSame(platform);                                \
    }                                                                                                  \
    TEST(binding, ExtraNamesAreIgnored) { e2e::cases::extraNamesAreIgnored(platform); }
#define E2E_SHARED_COMMAND_LINE_TESTS(suite, platform)                                                 \
    TEST(suite, HelpShowsEveryOptionAndPlaysNothing) { e2e::cases::helpShowsEveryOptionAndPlaysNothing(platform); } \
    TEST(suite, VersionNamesTheBuild) { e2e::cases::versionNamesTheBuild(platform); }                 \
    TEST(suite, UsageMistakesAreOneLineAndStatusTwo) { e2e::cases::usageMistakesAreOneLineAndStatusTwo(platform); } \
    TEST(suite, OptionsWinOverVariablesAndTakeAnyPath) {                                               \
        e2e::cases::optionsWinOverVariablesAndTakeAnyPath(platform);                                   \
    }                                                                                                  \
    TEST(suite, SettingMistakesAreOneLineWithoutAPlace) {                                              \
        e2e::cases::settingMistakesAreOneLineWithoutAPlace(platform);                                  \
    }
#define E2E_SHARED_TOWN_TESTS(town, platform)                                                          \
    TEST(town, RaisedStandingAndFallingTowerAreDrawnByTheTownRules) {                                  \
        e2e::cases::raisedStandingAndFallingTowerFollowTheTownRules(platform);                         \
    }                                                                                                  \
    TEST(town, TheThirtyFirstDragIsDropped) { e2e::cases::theThirtyFirstDragIsDropped(platform); }     \
    TEST(town, AFreedSlotIsReusedAtTheLowestIndex) { e2e::cases::aFreedSlotIsReusedAtTheLowestIndex(platform); }
#define E2E_SHARED_TEXT_TESTS(text, platform)                                                          \
    TEST(text, NonAsciiNamesAreReadAndWrittenAsGiven) {                                                \
        e2e::cases::nonAsciiNamesAreReadAndWrittenAsGiven(platform);                                   \
    }                                                                                                  \
    TEST(text, AByteOrderMarkIsSkipped) { e2e::cases::byteOrderMarkIsSkipped(platform); }
