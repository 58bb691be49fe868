// The Windows build end to end, under wine64: binding, faults and their diagnostics, exit
// statuses, the same traces as the Linux build, the PE files, the icon resource, and one run in
// a window on a virtual display driven by xdotool.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "lumen/lumen.h"
#include "output_checks.h"
#include "platform_cases.h"
#include "pixels/letterbox.h"
#include "pixels/scale.h"
#include "wine.h"

namespace fs = std::filesystem;

namespace {

const std::string kExe = win::kBin + "/stackrise.exe";
const std::string kLumen = win::kBin + "/Data/Lumen.lmd";

std::string fake(const std::string& name) { return win::kTests + "/fakes/" + name + ".lmd"; }

// Lines of a text, CR LF or LF ended (standard error of a Windows program is a text stream).
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
    }
    return out;
}

std::string unixText(const std::string& text) {
    std::string out;
    for (const auto& l : lines(text)) out += l + "\n";
    return out;
}

const std::regex& kDiagnostic = e2e::diagnosticPattern();

// The function of the program that holds the place "stackrise.exe+0xOFFSET" of a diagnostic.
std::string functionAt(const std::string& diagnosticLine) {
    std::smatch m;
    if (!std::regex_search(diagnosticLine, m, std::regex(R"(\(stackrise\.exe\+0x([0-9a-f]+)\))"))) return "";
    const win::PeFile pe = win::readPe(kExe);
    char address[32];
    std::snprintf(address, sizeof address, "0x%llx",
                  static_cast<unsigned long long>(pe.imageBase + std::stoull(m[1].str(), nullptr, 16)));
    return win::shell("x86_64-w64-mingw32-addr2line -f -C -e " + kExe + " " + address);
}

// Every block that AllocMem gave out, and every message block of a raise (Lumen's heap numbers
// it next), went back through FreeMem, each once.
void expectEveryBlockFreed(const std::vector<std::string>& trace) {
    std::set<std::string> live;
    int last = 0;
    static const std::regex alloc(R"(AllocMem .* -> #(\d+))");
    for (const auto& l : trace) {
        std::smatch m;
        if (std::regex_match(l, m, alloc)) {
            last = std::stoi(m[1].str());
            live.insert("#" + m[1].str());
        } else if (l.rfind("raise ", 0) == 0 && l.find(" \"") != std::string::npos) {
            live.insert("#" + std::to_string(++last));
        } else if (l.rfind("FreeMem #", 0) == 0) {
            EXPECT_EQ(live.erase(l.substr(8)), 1u) << "freed twice or never given: " << l;
        }
    }
    EXPECT_TRUE(live.empty()) << live.size() << " blocks never freed, first " << *live.begin();
}

// The same input on both platforms: traces equal line for line (the build identifier apart),
// the same diagnostic apart from where the place lies.
void expectSameAsLinux(const e2e::Run& onWindows, const e2e::Run& onLinux) {
    EXPECT_EQ(onWindows.status, onLinux.status);
    ASSERT_EQ(onWindows.trace.size(), onLinux.trace.size());
    const auto w = win::withoutBuildId(onWindows.trace);
    const auto l = win::withoutBuildId(onLinux.trace);
    for (size_t i = 0; i < w.size(); ++i) ASSERT_EQ(w[i], l[i]) << "first difference at trace line " << i + 1;
    static const std::regex place(R"( at 0x[0-9a-f]+ \([^)]*\))");
    EXPECT_EQ(std::regex_replace(unixText(onWindows.err), place, " at *"), std::regex_replace(onLinux.err, place, " at *"));
}

// The one line that a fault left on the standard error of `r` (which ended with status 1), into
// `line`: it starts "Stackrise: fault CODE at 0x" (CODE as "0xHEX (DEC)"); unless `module` is
// "", it is a whole diagnostic line whose place lies in `module` ("stackrise.exe", "Lumen.lmd").
void faultLine(const e2e::Run& r, const std::string& code, const std::string& module, std::string& line) {
    EXPECT_EQ(r.status, 1);
    const auto err = lines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;
    line = err[0];
    EXPECT_EQ(line.rfind("Stackrise: fault " + code + " at 0x", 0), 0u) << line;
    if (!module.empty()) {
        EXPECT_TRUE(std::regex_match(line, kDiagnostic)) << line;
        EXPECT_NE(line.find("(" + module + "+0x"), std::string::npos) << "the place lies in " << module << ": " << line;
    }
}

// A run of `script` that gave back every block and went as on Linux.
void expectFreedAndAsOnLinux(const e2e::Run& r, const std::string& script) {
    expectEveryBlockFreed(r.trace);
    expectSameAsLinux(r, e2e::runScript(win::kLinuxExe, script));
}

// The window's outer rectangle on the X screen.
struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};
Geometry geometryOf(const std::string& xPrefix, const std::string& window) {
    std::map<std::string, int> g;
    for (const auto& l : lines(win::shell(xPrefix + "xdotool getwindowgeometry --shell " + window))) {
        const size_t eq = l.find('=');
        if (eq != std::string::npos) g[l.substr(0, eq)] = std::stoi(l.substr(eq + 1));
    }
    return {g["X"], g["Y"], g["WIDTH"], g["HEIGHT"]};
}

// A windowed run of the program under Wine on the fixture's display.
struct WindowedRun {
    std::string dir = e2e::tempDir("window");
    std::string trace = dir + "/trace.txt";
    std::string x;  // "DISPLAY=:N " for the X tools
    pid_t pid = -1;
    std::string window;

    bool start() {
        const std::string display = win::display();
        if (display.empty()) return false;
        x = "DISPLAY=" + display + " ";
        std::map<std::string, std::string> env = win::wineEnv();
        env.insert({{"PATH", "/usr/bin:/bin"}, {"HOME", dir}, {"LUMEN_TRACE", trace},
                    {"LUMEN_RECORD", dir + "/input.script"}, {"LUMEN_CAPTURE", dir + "/last.png"},
                    {"LUMEN_SEED", "7"}});
        pid = win::spawn({"/usr/lib/wine/wine64", kExe}, env, dir + "/stderr.txt");
        // Searched again and again rather than with --sync: a search that meets a window being
        // destroyed (another program's) ends with an X error and no result.
        for (int i = 0; i < 300 && window.empty(); ++i) {
            const auto found = lines(win::shell(x + "xdotool search --name '^Stackrise$'"));
            if (!found.empty()) {
                window = found[0];
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        }
        return !window.empty();
    }
    // Frames shown so far: the trace grows in a temporary beside its path until the run ends.
    int frames() const {
        int most = 0;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename().string().find("trace.txt") == std::string::npos) continue;
            most = std::max(most, e2e::count(lines(e2e::readFile(entry.path())), "Act "));
        }
        return most;
    }
    // Waits until `n` more frames have been shown (at most 20 s).
    void waitFrames(int n) const {
        const int until = frames() + n;
        for (int i = 0; i < 400 && frames() < until; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    void xdotool(const std::string& args) const { win::shell(x + "xdotool " + args); }
    win::Image screenshot() const {
        win::shell(x + "/usr/bin/import -window root " + dir + "/screen.png");
        return win::readPng(dir + "/screen.png");
    }
    // Closes the window as a person does (Alt+F4); the exit status.
    int close() { return endWith("alt+F4"); }
    // Ends the run with the key KEYS (xdotool's names); the exit status. A key sent while the
    // loaded machine still moves focus can be lost: sent again until the program ends, for 30 s
    // at most.
    int endWith(const std::string& keys) {
        int status = -1;
        for (int attempt = 0; attempt < 6 && status == -1; ++attempt) {
            xdotool("key --window " + window + " " + keys);
            status = win::waitFor(pid, 5, attempt == 5);
        }
        // xdotool stops at the X error of a window gone between the press and the release, and
        // leaves the keys down in the X server: the next window would get their repeats.
        xdotool("keyup " + keys);
        pid = -1;
        return status;
    }
    // Presses KEYS and waits until the window lies at `to` (at most 10 s); sent again (three
    // times in all) if Wine lost the key; false if the window never got there.
    bool pressUntil(const std::string& keys, const Geometry& to) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            xdotool("key --window " + window + " " + keys);
            for (int i = 0; i < 100; ++i) {
                const Geometry g = geometryOf(x, window);
                if (g.x == to.x && g.y == to.y && g.width == to.width && g.height == to.height) return true;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        return false;
    }
    ~WindowedRun() {
        if (pid > 0) win::waitFor(pid, 0);
        // Kept for a look when the test failed.
        if (!testing::Test::HasFailure()) fs::remove_all(dir);
    }
};

}  // namespace

// The Windows form of a Linux path as Wine shows it to the program (drive Z: is the root).
std::string windowsPath(const std::string& path) {
    std::string out = "Z:" + path;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

// The Windows build, run under Wine.
class Wine : public e2e::Platform {
public:
    std::string install(const std::string& library) const override { return win::install(library); }
    std::string fake(const std::string& name) const override { return ::fake(name); }
    std::string lumen() const override { return kLumen; }
    e2e::Run run(const std::string& exe, const std::map<std::string, std::string>& env,
                 const std::string& cwd) const override {
        return win::run(exe, env, cwd);
    }
    e2e::Run runScript(const std::string& script, const std::string& seed) const override {
        return win::runScript(kExe, script, seed);
    }
    e2e::Run runArgs(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) const override {
        std::map<std::string, std::string> all = win::wineEnv();
        for (const auto& [k, v] : env) all[k] = v;
        e2e::RunOptions options;
        return e2e::run(win::launcher(kExe, args), all, options);
    }
    std::string commandName() const override { return "stackrise.exe"; }
    std::vector<std::string> errLines(const std::string& err) const override { return lines(err); }
    // Every copy is stackrise.exe of the Windows tree, byte for byte.
    std::string functionAt(const std::string&, const std::string& diagnosticLine) const override {
        return ::functionAt(diagnosticLine);
    }
};
const Wine kWine;

// What a window run with a seed and a recording says on standard error: how to play, and at
// the end where the recording went and the command that replays it.
std::string windowRunNotes(const std::string& recording) {
    return "Stackrise: drag with the left button to raise a tower, right-click it to tip it over; Escape or "
           "closing the window ends the run, F11 fullscreen, F12 saves a picture\r\n"
           "Lumen: the run is recorded in " + recording + "; stackrise.exe --replay " + recording +
           " plays it again\r\n";
}

// The folder of an installed copy (win::install).
std::string folderOf(const std::string& exe) { return fs::path(exe).parent_path().string(); }

// ---- Binding ------------------------------------------------------------------------------

TEST(WindowsBinding, MissingLibraryFailsWith3001NamingThePathAndTheSystemsReason) {
    const std::string exe = win::install("");
    const e2e::Run r = e2e::cases::missingLibraryFailsWith3001(kWine, exe, e2e::tempDir("emptycwd"));
    const auto err = lines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;
    // The full path tried, beside the program, and the system's words for what went wrong.
    const std::string tried = windowsPath(folderOf(exe) + "/Data/Lumen.lmd");
    EXPECT_NE(err[0].find("cannot load Data/Lumen.lmd (" + tried + ": "), std::string::npos) << err[0];
    EXPECT_EQ(err[0].find("system error"), std::string::npos) << "a number, not words: " << err[0];
    EXPECT_GT(err[0].size(), err[0].find(tried) + tried.size() + 5) << "no reason after the path: " << err[0];
    // And what to do about it.
    EXPECT_NE(err[0].find("; keep Data\\Lumen.lmd beside stackrise.exe: extract the whole folder"), std::string::npos)
        << err[0];
}

TEST(WindowsBinding, LibraryInTheWorkingDirectoryOrOnThePathIsNeverLoaded) {
    // A user runs a copy without its library from a folder that holds one (in Data/ and loose),
    // with a third folder holding one on PATH. Each is a stand-in that leaves a marker file when
    // it is loaded at all (its start-up code runs before any binding).
    const std::string exe = win::install("");
    const std::string cwd = e2e::tempDir("plantedcwd");
    const std::string onPath = e2e::tempDir("plantedpath");
    fs::create_directories(cwd + "/Data");
    fs::create_directories(onPath + "/Data");
    for (const std::string& copy : {cwd + "/Data/Lumen.lmd", cwd + "/Lumen.lmd", onPath + "/Lumen.lmd", onPath + "/Data/Lumen.lmd"})
        fs::copy_file(fake("fake_marker"), copy);
    const std::string marker = cwd + "/marker";
    const e2e::Run r = win::run(exe, {{"FAKE_MARKER_FILE", windowsPath(marker)},
                                      {"WINEPATH", windowsPath(onPath) + ";" + windowsPath(onPath + "/Data")}},
                                cwd);
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("fault 0xBB9 (3001)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(" + windowsPath(folderOf(exe) + "/Data/Lumen.lmd") + ": "), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(marker)) << "a library outside the program's folder was loaded";
    EXPECT_TRUE(r.trace.empty());

    // The same stand-in beside the program is loaded (and leaves its marker): the marker works.
    const std::string beside = win::install(fake("fake_marker"));
    const e2e::Run ok = win::run(beside, {{"FAKE_MARKER_FILE", windowsPath(marker)}}, cwd);
    EXPECT_TRUE(fs::exists(marker)) << ok.err;
}

TEST(WindowsBinding, ProgramInAFolderBeyondThePathLimitFindsItsLibrary) {
    // A folder whose path is longer than the classic 260-character limit.
    std::string dir = e2e::tempDir("deep");
    for (int i = 0; windowsPath(dir).size() < 320; ++i) dir += "/a_folder_with_a_rather_long_name_" + std::to_string(i);
    fs::create_directories(dir + "/Data");
    fs::copy_file(kExe, dir + "/stackrise.exe");
    fs::copy_file(kLumen, dir + "/Data/Lumen.lmd");
    const e2e::Run ok = win::runScript(dir + "/stackrise.exe", "3 quit\n");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(e2e::find(ok.trace, "Free live=1"), -1);
    // Without it: the whole long path in the line, not a cut one.
    fs::remove(dir + "/Data/Lumen.lmd");
    const e2e::Run missing = win::run(dir + "/stackrise.exe", {});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("(" + windowsPath(dir + "/Data/Lumen.lmd") + ": "), std::string::npos) << missing.err;
}

TEST(WindowsBinding, DamagedLibraryIsAStartUpFailureNeverACrash) {
    // Cut short at several places (in the headers, in the code, just before the relocations), and
    // whole but with its code overwritten so that its start-up code faults while it is loaded.
    const std::string lumen = e2e::readFile(kLumen);
    ASSERT_GT(lumen.size(), 300000u);
    const std::string dir = e2e::tempDir("damaged");
    std::vector<std::pair<std::string, std::string>> copies;
    for (const size_t cut : {size_t{1024}, size_t{4096}, lumen.size() / 16, lumen.size() / 8}) {
        copies.push_back({"cut at " + std::to_string(cut), lumen.substr(0, cut)});
    }
    // The code section (the first) filled with bytes that are no instruction.
    std::string garbled = lumen;
    uint32_t nt = 0, rawSize = 0, rawAt = 0;
    uint16_t optionalSize = 0;
    std::memcpy(&nt, garbled.data() + 0x3C, 4);
    std::memcpy(&optionalSize, garbled.data() + nt + 20, 2);
    const size_t section = nt + 24 + optionalSize;
    ASSERT_EQ(garbled.compare(section, 5, ".text"), 0);
    std::memcpy(&rawSize, garbled.data() + section + 16, 4);
    std::memcpy(&rawAt, garbled.data() + section + 20, 4);
    ASSERT_LE(size_t{rawAt} + rawSize, garbled.size());
    std::fill(garbled.begin() + rawAt, garbled.begin() + rawAt + rawSize, '\xFF');
    copies.push_back({"code overwritten", garbled});
    for (const auto& [what, bytes] : copies) {
        SCOPED_TRACE(what);
        e2e::writeFile(dir + "/Lumen.lmd", bytes);
        const e2e::Run r = win::run(win::install(dir + "/Lumen.lmd"), {{"LUMEN_HEADLESS", "1"}});
        EXPECT_EQ(r.status, 1);
        const auto err = lines(r.err);
        ASSERT_EQ(err.size(), 1u) << r.err;
        EXPECT_TRUE(std::regex_match(err[0], kDiagnostic)) << err[0];
        EXPECT_NE(err[0].find("fault 0xBB9 (3001)"), std::string::npos) << err[0];
        EXPECT_NE(err[0].find("cannot load Data/Lumen.lmd ("), std::string::npos) << err[0];
        EXPECT_EQ(err[0].find("system error"), std::string::npos) << "a number, not words: " << err[0];
        if (what == "code overwritten") {
            EXPECT_NE(err[0].find("start-up code met an illegal instruction (0xC000001D)"), std::string::npos) << err[0];
        }
        EXPECT_TRUE(r.trace.empty()) << "a damaged library ran";
    }
}

TEST(WindowsBinding, LibraryBesideTheProgramComesBeforeTheWorkingDirectory) {
    const std::string exe = win::install(kLumen);
    const std::string cwd = e2e::tempDir("cwd");
    fs::create_directories(cwd + "/Data");
    fs::copy_file(fake("fake_complete"), cwd + "/Data/Lumen.lmd");
    e2e::writeFile(cwd + "/quit.script", "1 quit\n");
    const e2e::Run r = win::run(exe, {{"LUMEN_SCRIPT", cwd + "/quit.script"}}, cwd);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_FALSE(r.trace.empty());
    EXPECT_EQ(r.trace[0], "AllocMem 16 null -> #1") << "the stand-in in the working directory was loaded";
}

TEST(WindowsBinding, FileThatIsNotALibraryFailsWith3001) { e2e::cases::fileThatIsNotALibraryFailsWith3001(kWine); }

E2E_SHARED_BINDING_TESTS(WindowsBinding, kWine)
E2E_SHARED_TEXT_TESTS(WindowsText, kWine)

// ---- Faults -------------------------------------------------------------------------------

TEST(WindowsFaults, OrderlyEndIsSilentWithStatusZeroAndReleasesEverything) {
    const e2e::Run r = e2e::cases::orderlyEndIsSilentWithStatusZero(kWine);
    expectFreedAndAsOnLinux(r, "3 quit\n");
}

TEST(WindowsFaults, RaiseInsideLumenReachesTheTopOnceWithCodeMessageAndPlace) {
    const std::string script = "1 move 300 500\n2 press left\n3 move 500 500\n4 release left\n6 fault 5000 the tower fell\n";
    const e2e::Run r = e2e::cases::faultInActReachesTheTopOnce(kWine, script);
    const auto err = lines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;
    EXPECT_EQ(r.err, err[0] + "\r\n") << "one line, ended as Windows ends text lines";
    // The town (with a raised tower) was released on the way up, in the same order as on Linux.
    expectFreedAndAsOnLinux(r, script);
}

TEST(WindowsFaults, InvalidAccessInsideLumenBecomesAnAccessViolation) {
    const e2e::Run r = e2e::cases::invalidAccessInsideLumenBecomesAnAccessViolation(kWine);
    expectFreedAndAsOnLinux(r, "2 crash\n");
}

TEST(WindowsFaults, FloatingPointTrapInTheProgramsOwnCode) {
    // A drag that ends at a NaN pointer: the program's ordered comparison with NaN traps.
    const std::string script = "1 move 300 500\n2 press left\n3 move nan 500\n4 release left\n6 quit\n";
    const e2e::Run r = win::runScript(kExe, script);
    std::string line;
    ASSERT_NO_FATAL_FAILURE(faultLine(r, "0xC0000090 (3221225616)", "stackrise.exe", line));
    EXPECT_NE(line.find(": floating-point invalid operation"), std::string::npos) << line;
    EXPECT_NE(functionAt(line).find("town::"), std::string::npos) << functionAt(line);
    EXPECT_EQ(e2e::find(r.trace, "Act 5"), -1) << "the run ends in the frame of the release";
    expectFreedAndAsOnLinux(r, script);
}

TEST(WindowsFaults, NonContinuableFaultStillEndsThroughTheTopLevelHandling) {
    // Such a fault cannot be turned into a throw: the frames are abandoned, but the diagnostic,
    // the error record, Free and the exit status are as for any other fault.
    const e2e::Run r = win::run(win::install(fake("fake_noncontinuable")), {});
    std::string line;
    ASSERT_NO_FATAL_FAILURE(faultLine(r, "0x1388 (5000)", "", line));
    EXPECT_NE(line.find(": no message"), std::string::npos) << line;
    const int act = e2e::find(r.trace, "Act");
    ASSERT_NE(act, -1);
    // The record; shutdown releases AppConfig and its title; Free; the record goes back. What
    // the abandoned frames held (the town) is not released.
    EXPECT_EQ(std::vector<std::string>(r.trace.begin() + act + 1, r.trace.end()),
              (std::vector<std::string>{"AllocMem", "FreeMem", "FreeMem", "Free", "FreeMem"}));
}

TEST(WindowsFaults, StackOverflowInsideTheLibraryEndsWithOneLineFreeAndStatusOne) {
    // The stand-in's Act recurses until the stack runs out.
    const e2e::Run r = win::run(win::install(fake("fake_overflow")), {});
    std::string line;
    ASSERT_NO_FATAL_FAILURE(faultLine(r, "0xC00000FD (3221225725)", "Lumen.lmd", line));  // inside the library
    const int act = e2e::find(r.trace, "Act");
    ASSERT_NE(act, -1);
    // Turned around in the program's frame that called Act: the town and the configuration go
    // back on the way up, then the record, Free, and the record again.
    const std::vector<std::string> after(r.trace.begin() + act + 1, r.trace.end());
    EXPECT_EQ(std::count(after.begin(), after.end(), "Free"), 1) << r.err;
    EXPECT_EQ(after.back(), "FreeMem");
    const int allocs = e2e::count(r.trace, "AllocMem");
    EXPECT_EQ(e2e::count(r.trace, "FreeMem"), allocs) << "every block given back";
}

TEST(WindowsFaults, StackOverflowInsideLumenEndsAsOnLinux) {
    // Lumen's `overflow` recurses until the stack runs out, in the frame after a tower was raised.
    const std::string script = "1 move 300 500\n2 press left\n3 move 500 500\n4 release left\n6 overflow\n";
    const e2e::Run r = win::runScript(kExe, script);
    std::string line;
    ASSERT_NO_FATAL_FAILURE(faultLine(r, "0xC00000FD (3221225725)", "Lumen.lmd", line));
    EXPECT_NE(e2e::find(r.trace, "overflow"), -1);
    EXPECT_NE(e2e::find(r.trace, "Free live=1"), -1);
    // The program's frames below Act were unwound with their destructors: the town went back.
    expectFreedAndAsOnLinux(r, script);
}

TEST(WindowsFaults, BadScriptLineIsReportedAndEndsTheRun) {
    const e2e::Run r = e2e::cases::badScriptLineIsReportedAndEndsTheRun(kWine);
    expectEveryBlockFreed(r.trace);
}

// A fault planted (LUMEN_FAULT) in every operation the program calls, in every allocation of
// start-up, in the error record and in Free, with and without a message, of every kind of code:
// Windows ends each run exactly as Linux does (trace, status, diagnostic).
TEST(WindowsFaults, EveryPlantedFaultEndsAsOnLinux) {
    const std::string script = "1 move 100 700\n2 press left\n20 move 300 700\n21 release left\n"
                               "300 move 200 880\n301 press right\n302 release right\n400 quit\n";
    std::vector<std::string> plans = {
        "Init:1:5000:planted", "Act:3:5000:planted", "Act:250:1001", "Mouse:1:5000:planted",
        "MouseX:1:5000:planted", "MouseY:1:5000", "Rnd:1:5000:planted", "RndF:5:5000:planted",
        "DrawRect:1:5000:planted", "Act:2:0", "DrawRect:9:0", "Act:2:999:below a thousand",
        "Act:2:0x7FFFFFFF:the largest message code", "Act:3:0xC0000005", "Act:3:0xFFFFFFFF",
        "AllocMem/skip:1:1003:no room for the record", "Free:1:5000:in Free", "Free:1:0xC0000090"};
    for (int n = 1; n <= 66; n += 5) plans.push_back("AllocMem:" + std::to_string(n) + ":1003:out of memory");
    for (const std::string& plan : plans) {
        SCOPED_TRACE(plan);
        const e2e::Run w = win::runScript(kExe, script, "1", {{"LUMEN_FAULT", plan}});
        const e2e::Run l = e2e::runScript(win::kLinuxExe, script, "1", {{"LUMEN_FAULT", plan}});
        EXPECT_NE(e2e::find(w.trace, "raise "), -1) << "nothing was planted";
        expectSameAsLinux(w, l);
        if (w.status == 0) expectEveryBlockFreed(w.trace);
    }
}

// ---- The town rules, end to end (tests/e2e/town_cases.cpp) -----------------------------------

E2E_SHARED_TOWN_TESTS(WindowsTown, kWine)

// ---- The command line: read from GetCommandLineW, wide ------------------------------------

E2E_SHARED_COMMAND_LINE_TESTS(WindowsCommandLine, kWine)

// ---- The same trace on both platforms -------------------------------------------------------

TEST(WindowsTrace, BuiltInDemoGivesTheSameTraceAndPictureAsOnLinux) {
    const std::string dir = e2e::tempDir("demo");
    const e2e::Run w = win::run(kExe, {{"LUMEN_HEADLESS", "1"}, {"LUMEN_CAPTURE", dir + "/windows.png"}}, "", 120);
    const e2e::Run l = e2e::run(win::kLinuxExe, {{"LUMEN_HEADLESS", "1"}, {"LUMEN_CAPTURE", dir + "/linux.png"}});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_GT(e2e::count(w.trace, "DrawRect"), 100) << "the demo raises towers";
    expectSameAsLinux(w, l);
    const win::Image a = win::readPng(dir + "/windows.png");
    const win::Image b = win::readPng(dir + "/linux.png");
    ASSERT_EQ(a.width, 1600);
    EXPECT_EQ(win::differingPixels(a, b), 0);
    fs::remove_all(dir);
}

TEST(WindowsTrace, LongRandomScriptGivesTheSameTraceAndPictureAsOnLinux) {
    // Drags of every width (also reversed, zero wide and off the canvas), right clicks on and
    // beside towers, moves to fractional and far-away places; enough drags to fill all slots.
    std::mt19937_64 rng(20240611);
    std::ostringstream script;
    script << "0 seed 987654321\n";
    int frame = 1;
    auto coordinate = [&](double lo, double hi) {
        const double v = std::uniform_real_distribution<double>(lo, hi)(rng);
        return std::to_string(v);
    };
    for (int gesture = 0; gesture < 120; ++gesture) {
        const int kind = static_cast<int>(rng() % 6);
        if (kind <= 2) {  // a drag
            script << frame << " move " << coordinate(-50, 1650) << " " << coordinate(0, 900) << "\n";
            script << ++frame << " press left\n";
            frame += static_cast<int>(rng() % 20);
            script << ++frame << " move " << coordinate(-50, 1650) << " " << coordinate(0, 900) << "\n";
            script << (frame += static_cast<int>(rng() % 3)) << " release left\n";
        } else if (kind <= 4) {  // a right click
            script << frame << " move " << coordinate(0, 1600) << " " << coordinate(500, 900) << "\n";
            script << ++frame << " press right\n";
            script << (frame += 1 + static_cast<int>(rng() % 4)) << " release right\n";
        } else {
            script << frame << " move " << coordinate(-1e6, 1e6) << " " << coordinate(-1e6, 1e6) << "\n";
        }
        frame += 1 + static_cast<int>(rng() % 40);
    }
    script << frame + 200 << " quit\n";
    const std::string dir = e2e::tempDir("random");
    const e2e::Run w = win::runScript(kExe, script.str(), "5", {{"LUMEN_CAPTURE", dir + "/windows.png"}});
    const e2e::Run l = e2e::runScript(win::kLinuxExe, script.str(), "5", {{"LUMEN_CAPTURE", dir + "/linux.png"}});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_GT(e2e::count(w.trace, "Act "), 2000);
    EXPECT_GT(e2e::count(w.trace, "Rnd 2 5"), 30) << "slots filled and reused";
    expectSameAsLinux(w, l);
    EXPECT_EQ(win::differingPixels(win::readPng(dir + "/windows.png"), win::readPng(dir + "/linux.png")), 0);
    fs::remove_all(dir);
}

// ---- The built files ----------------------------------------------------------------------

TEST(WindowsBuild, ProgramIsAGuiProgramWhoseBuildIdCarriesItsLinkTime) {
    const win::PeFile pe = win::readPe(kExe);
    ASSERT_TRUE(pe.ok);
    EXPECT_EQ(pe.machine, 0x8664);  // x64
    EXPECT_EQ(pe.subsystem, 2);     // GUI: no console window
    const auto now = static_cast<uint32_t>(std::time(nullptr));
    EXPECT_GT(pe.timeStamp, 1577836800u) << "the linker wrote no time stamp";  // 2020-01-01
    EXPECT_LE(pe.timeStamp, now + 86400u);
    const e2e::Run r = win::runScript(kExe, "1 quit\n");
    const uint64_t id = win::buildIdOf(r.trace);
    EXPECT_EQ(id >> 32, pe.timeStamp);
    // The lower half is made at build time as on Linux (both trees are built from one checkout).
    const uint64_t linuxId = win::buildIdOf(e2e::runScript(win::kLinuxExe, "1 quit\n").trace);
    EXPECT_EQ(id & 0xFFFFFFFFu, linuxId & 0xFFFFFFFFu);
}

TEST(WindowsBuild, LumenIsADllExportingExactlyThe132Names) {
    const win::PeFile pe = win::readPe(kLumen);
    ASSERT_TRUE(pe.ok);
    EXPECT_TRUE(pe.characteristics & 0x2000) << "not a DLL";
    EXPECT_EQ(pe.exportName, "Lumen.lmd");
    std::vector<std::string> expected = {
#define NAME_TEXT(n, ...) #n,
        LUMEN_NAMES(NAME_TEXT)
#undef NAME_TEXT
    };
    std::vector<std::string> exported = pe.exports;
    std::sort(expected.begin(), expected.end());
    std::sort(exported.begin(), exported.end());
    EXPECT_EQ(exported, expected);
}

TEST(WindowsBuild, FolderNeedsNoCompilerRuntimeDlls) {
    // Both files link the compiler's runtime statically: nothing but the system's DLLs remain.
    for (const std::string& file : {kExe, kLumen}) {
        const std::string dump = win::shell("x86_64-w64-mingw32-objdump -p " + file);
        ASSERT_NE(dump.find("DLL Name:"), std::string::npos) << file;
        for (const char* runtime : {"libstdc++", "libgcc", "libwinpthread"})
            EXPECT_EQ(dump.find(runtime), std::string::npos) << file << " imports " << runtime;
    }
}

// ---- The icon -----------------------------------------------------------------------------

TEST(WindowsIcon, GroupIcon101LoadsAndHoldsSixSizesAt32Bits) {
    const e2e::Run r = e2e::run(win::launcher(win::kTests + "/icon_probe.exe", {kExe}), win::wineEnv());
    EXPECT_EQ(r.status, 0) << r.err;
    const auto found = lines(r.err);
    const std::vector<std::string> expected = {"loadicon ok",      "group 6",         "image 16 16 32",
                                               "image 32 32 32",   "image 48 48 32",  "image 64 64 32",
                                               "image 128 128 32", "image 256 256 32"};
    std::vector<std::string> sorted = found;
    std::sort(sorted.begin() + std::min<size_t>(2, sorted.size()), sorted.end(),
              [](const std::string& a, const std::string& b) { return std::stoi(a.substr(6)) < std::stoi(b.substr(6)); });
    EXPECT_EQ(sorted, expected) << r.err;
    // The program itself got an icon from LoadIconW(instance, 101) for the Init record.
    const e2e::Run run = win::runScript(kExe, "1 quit\n");
    ASSERT_NE(e2e::find(run.trace, "Init "), -1);
    EXPECT_NE(run.trace[static_cast<size_t>(e2e::find(run.trace, "Init "))].find(" icon=set "), std::string::npos);
}

TEST(WindowsIcon, IcoFileHoldsTheSixSizesAt32Bits) {
    const std::string ico = e2e::readFile(ICON_FILE);
    ASSERT_GE(ico.size(), 6u + 6 * 16);
    auto u16 = [&](size_t o) { return static_cast<unsigned>(static_cast<uint8_t>(ico[o]) | static_cast<uint8_t>(ico[o + 1]) << 8); };
    EXPECT_EQ(u16(2), 1u) << "an icon file";
    ASSERT_EQ(u16(4), 6u);
    std::vector<unsigned> sizes;
    for (size_t i = 0; i < 6; ++i) {
        const size_t entry = 6 + 16 * i;
        EXPECT_EQ(ico[entry], ico[entry + 1]) << "a square image";
        const unsigned w = static_cast<uint8_t>(ico[entry]) == 0 ? 256 : static_cast<uint8_t>(ico[entry]);  // 0: 256
        EXPECT_EQ(u16(entry + 6), 32u) << "bits per pixel of the " << w << " px image";
        sizes.push_back(w);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<unsigned>{16, 32, 48, 64, 128, 256}));
}

// ---- In a window --------------------------------------------------------------------------

TEST(WindowsWindow, WindowTitledStackriseRaisesATowerOnADragAndShowsTheCanvas) {
    WindowedRun run;
    ASSERT_TRUE(run.start()) << "no window titled Stackrise (or no display)";
    // The client area: the window less Wine's frame (equal borders, the caption on top).
    const Geometry g = geometryOf(run.x, run.window);
    const int border = (g.width - 1600) / 2;
    ASSERT_GE(border, 0) << "client narrower than the canvas: " << g.width;
    const int left = g.x + border;
    const int top = g.y + g.height - border - 900;

    // A drag from canvas x 340 to 540 at height 500.
    const std::string at = " " + std::to_string(top + 500);
    run.xdotool("mousemove " + std::to_string(left + 340) + at + " mousedown 1 sleep 0.2 mousemove " +
                std::to_string(left + 440) + at + " sleep 0.2 mousemove " + std::to_string(left + 540) + at +
                " sleep 0.2 mouseup 1");
    // The tower climbs in three stages; after four seconds of frames it stands still.
    run.waitFrames(240);
    const win::Image screen = win::crop(run.screenshot(), left, top, 1600, 900);
    EXPECT_EQ(run.close(), 0) << e2e::readFile(run.dir + "/stderr.txt");
    EXPECT_EQ(e2e::readFile(run.dir + "/stderr.txt"), windowRunNotes(run.dir + "/input.script"));

    const auto t = lines(e2e::readFile(run.trace));
    EXPECT_NE(e2e::find(t, "Init title=\"Stackrise\" "), -1);
    const int pressed = e2e::find(t, "Mouse 0 -> 1");
    ASSERT_NE(pressed, -1) << "the press never arrived";
    EXPECT_EQ(t[static_cast<size_t>(pressed) + 1], "MouseX -> 340");
    const int raised = e2e::find(t, "Rnd 2 5 -> ", pressed);
    ASSERT_NE(raised, -1) << "no tower was raised";
    EXPECT_NE(e2e::find(t, "DrawRect 340 ", raised), -1) << "the tower is not drawn where the drag was";
    EXPECT_NE(e2e::find(t, "raise 0 null"), -1) << "closing is the orderly end";
    expectEveryBlockFreed(t);

    // What the screen shows is the canvas, pixel for pixel: the run's own last frame, and the
    // last frame of its recorded input replayed headless on Linux.
    ASSERT_EQ(screen.width, 1600) << "no screenshot";
    EXPECT_EQ(win::differingPixels(screen, win::readPng(run.dir + "/last.png")), 0);
    const e2e::Run replay = e2e::run(win::kLinuxExe, {{"LUMEN_SCRIPT", run.dir + "/input.script"},
                                                      {"LUMEN_CAPTURE", run.dir + "/replay.png"}});
    EXPECT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(win::withoutBuildId(replay.trace), win::withoutBuildId(t)) << "the recording replays to the same frames";
    EXPECT_EQ(win::differingPixels(screen, win::readPng(run.dir + "/replay.png")), 0);
}

TEST(WindowsWindow, ResizedWindowLetterboxesTheCanvasAndMapsTheMouseBack) {
    WindowedRun run;
    ASSERT_TRUE(run.start()) << "no window titled Stackrise (or no display)";
    const Geometry before = geometryOf(run.x, run.window);
    const int border = (before.width - 1600) / 2;
    const int caption = before.height - 900 - 2 * border;
    // Drag the lower right corner of the frame up and to the left: a client of 938 x 599.
    const int cornerX = before.x + before.width - 2, cornerY = before.y + before.height - 2;
    run.xdotool("mousemove " + std::to_string(cornerX) + " " + std::to_string(cornerY) +
                " mousedown 1 sleep 0.3 mousemove " + std::to_string(cornerX - 331) + " " + std::to_string(cornerY - 150) +
                " sleep 0.3 mousemove " + std::to_string(cornerX - 662) + " " + std::to_string(cornerY - 301) +
                " sleep 0.3 mouseup 1");
    run.waitFrames(10);
    const Geometry after = geometryOf(run.x, run.window);
    const int clientW = after.width - 2 * border, clientH = after.height - caption - 2 * border;
    ASSERT_LT(clientW, 1600) << "the window did not shrink";
    // The canvas keeps its aspect ratio: full width, bars above and below (or the other way).
    int w = clientW, h = (clientW * 900 + 800) / 1600;
    if (h > clientH) {
        h = clientH;
        w = (clientH * 1600 + 450) / 900;
    }
    const int lx = (clientW - w) / 2, ly = (clientH - h) / 2;
    ASSERT_TRUE(lx > 0 || ly > 0) << "no bars to check at " << clientW << " x " << clientH;
    const int originX = after.x + border, originY = after.y + border + caption;

    // A tower raised at this scale, on the right (drawn by partial updates while it rises).
    const auto client = [&](int cx, int cy) {
        return std::to_string(originX + lx + cx * w / 1600) + " " + std::to_string(originY + ly + cy * h / 900);
    };
    run.xdotool("mousemove " + client(1000, 600) + " mousedown 1 sleep 0.2 mousemove " + client(1200, 600) +
                " sleep 0.2 mousemove " + client(1400, 600) + " sleep 0.2 mouseup 1");
    run.waitFrames(240);  // risen and standing
    // A right click (which reads both coordinates) at a quarter of the canvas's width and half
    // its height, in client pixels.
    const int px = lx + w / 4, py = ly + h / 2;
    run.xdotool("mousemove " + std::to_string(originX + px) + " " + std::to_string(originY + py) +
                " mousedown 3 sleep 0.2 mouseup 3");
    run.waitFrames(5);
    const win::Image screen = win::crop(run.screenshot(), originX, originY, clientW, clientH);
    EXPECT_EQ(run.close(), 0);

    const auto t = lines(e2e::readFile(run.trace));
    const int pressed = e2e::find(t, "Mouse 1 -> 1");
    ASSERT_NE(pressed, -1) << "the click never arrived";
    ASSERT_EQ(t[static_cast<size_t>(pressed) + 1].rfind("MouseX -> ", 0), 0u);
    const double mouseX = std::stod(t[static_cast<size_t>(pressed) + 1].substr(10));
    ASSERT_EQ(t[static_cast<size_t>(pressed) + 2].rfind("MouseY -> ", 0), 0u);
    const double mouseY = std::stod(t[static_cast<size_t>(pressed) + 2].substr(10));
    EXPECT_DOUBLE_EQ(mouseX, (px - lx) * (1600.0 / w));
    EXPECT_DOUBLE_EQ(mouseY, (py - ly) * (900.0 / h));
    EXPECT_NEAR(mouseX, 400, 2);
    EXPECT_NEAR(mouseY, 450, 2);

    // Black bars outside the canvas; the dark sky inside.
    ASSERT_EQ(screen.width, clientW) << "no screenshot";
    auto pixel = [&](int cx, int cy) {
        const size_t i = (static_cast<size_t>(cy) * screen.width + cx) * 3;
        return (screen.rgb[i] << 16) | (screen.rgb[i + 1] << 8) | screen.rgb[i + 2];
    };
    if (ly > 0) {
        EXPECT_EQ(pixel(clientW / 2, ly / 2), 0x000000);
        EXPECT_EQ(pixel(clientW / 2, clientH - 1 - ly / 2), 0x000000);
    } else {
        EXPECT_EQ(pixel(lx / 2, clientH / 2), 0x000000);
        EXPECT_EQ(pixel(clientW - 1 - lx / 2, clientH / 2), 0x000000);
    }
    EXPECT_EQ(pixel(lx + w / 2, ly + h / 4), 0x0B1328);
    // Updated only where frames changed, the client shows the whole last frame scaled to it:
    // the recording's picture on Linux, scaled by the same rule.
    const std::string picture = run.dir + "/replayed.png";
    const e2e::Run replayed = e2e::run(win::kLinuxExe, {{"LUMEN_SCRIPT", run.dir + "/input.script"}, {"LUMEN_CAPTURE", picture}});
    ASSERT_EQ(replayed.status, 0) << replayed.err;
    const win::Image canvas = win::readPng(picture);
    ASSERT_EQ(canvas.width, 1600);
    std::vector<uint32_t> argb(std::size_t{1600} * 900), whole(std::size_t(clientW) * clientH);
    for (std::size_t i = 0; i < argb.size(); ++i) {
        argb[i] = 0xFF000000u | uint32_t(canvas.rgb[3 * i]) << 16 | uint32_t(canvas.rgb[3 * i + 1]) << 8 | canvas.rgb[3 * i + 2];
    }
    lumen::drawWholeWindow(argb.data(), lumen::letterbox(clientW, clientH), {whole.data(), clientW, clientH, clientW});
    std::size_t differing = 0;
    for (std::size_t i = 0; i < whole.size(); ++i) differing += (whole[i] & 0xFFFFFFu) != (pixel(int(i % clientW), int(i / clientW)) & 0xFFFFFFu);
    EXPECT_EQ(differing, 0u) << "of " << whole.size() << " client px";
}

// Drags much quicker than a frame, as a fast hand or a tablet gives them: every press and every
// release reaches the program in a frame of its own, so each drag raises its tower, pressed where
// it began.
TEST(WindowsWindow, QuickDragsAreNeverMerged) {
    WindowedRun run;
    ASSERT_TRUE(run.start()) << "no window titled Stackrise (or no display)";
    const Geometry g = geometryOf(run.x, run.window);
    const int border = (g.width - 1600) / 2;
    ASSERT_GE(border, 0);
    const int left = g.x + border;
    const int top = g.y + g.height - border - 900;
    run.waitFrames(5);
    // Eight drags 150 px long at x = 100, 280, ..., 1360, all sent at once.
    std::string gestures;
    std::vector<int> starts;
    for (int i = 0; i < 8; ++i) {
        const int x = 100 + 180 * i;
        starts.push_back(x);
        const std::string y = " " + std::to_string(top + 600);
        gestures += " mousemove " + std::to_string(left + x) + y + " mousedown 1 mousemove " +
                    std::to_string(left + x + 150) + y + " mouseup 1";
    }
    run.xdotool(gestures);
    run.waitFrames(30);
    EXPECT_EQ(run.close(), 0) << e2e::readFile(run.dir + "/stderr.txt");

    const auto t = lines(e2e::readFile(run.trace));
    std::vector<int> pressedAt;
    // The program reads the pointer right after it sees a press (the drag's start).
    for (int i = e2e::find(t, "Mouse 0 -> 1"); i != -1; i = e2e::find(t, "Mouse 0 -> 1", i + 1)) {
        const std::string& next = t[static_cast<size_t>(i) + 1];
        if (next.rfind("MouseX -> ", 0) == 0) pressedAt.push_back(static_cast<int>(std::lround(std::stod(next.substr(10)))));
    }
    EXPECT_EQ(pressedAt, starts) << "presses lost or merged";
    EXPECT_EQ(e2e::count(t, "Rnd 2 5 -> "), 8) << "a tower for each drag";
    // The recording holds every press and release and replays to the same frames.
    const e2e::Run replay = e2e::run(win::kLinuxExe, {{"LUMEN_SCRIPT", run.dir + "/input.script"}});
    EXPECT_EQ(win::withoutBuildId(replay.trace), win::withoutBuildId(t));
}

// Escape ends the run as closing the window does: status 0, the last Act raises fault 0, every
// block freed, the recording ends with its quit and replays on Linux to the same trace.
TEST(WindowsWindow, EscapeEndsTheRunInOrder) {
    WindowedRun run;
    ASSERT_TRUE(run.start()) << "no window titled Stackrise (or no display)";
    run.waitFrames(10);  // shown and painted: a key to a window still being mapped may be lost
    EXPECT_EQ(run.endWith("Escape"), 0) << e2e::readFile(run.dir + "/stderr.txt");
    EXPECT_EQ(e2e::readFile(run.dir + "/stderr.txt"), windowRunNotes(run.dir + "/input.script"));
    const auto t = lines(e2e::readFile(run.trace));
    const int raised = e2e::find(t, "raise 0 null");
    ASSERT_GT(raised, 0) << "not the orderly end";
    EXPECT_EQ(t[static_cast<size_t>(raised) - 1].rfind("Act ", 0), 0u);
    EXPECT_GT(e2e::find(t, "Free live=", raised), raised);
    expectEveryBlockFreed(t);
    const auto recording = lines(e2e::readFile(run.dir + "/input.script"));
    ASSERT_FALSE(recording.empty());
    EXPECT_EQ(recording.back(), t[static_cast<size_t>(raised) - 1].substr(4) + " quit");
    const e2e::Run replay = e2e::run(win::kLinuxExe, {{"LUMEN_SCRIPT", run.dir + "/input.script"}});
    EXPECT_EQ(win::withoutBuildId(replay.trace), win::withoutBuildId(t));
}

// F11, then Alt+Enter, make the window cover the screen without its frame, the canvas filling
// it (the screen is 16:9) and the mouse read in canvas px; the same key gives the window back its
// frame, size and place. The recording holds no key: it replays on Linux to the same trace.
TEST(WindowsWindow, F11AndAltEnterToggleFullscreen) {
    WindowedRun run;
    ASSERT_TRUE(run.start()) << "no window titled Stackrise (or no display)";
    run.waitFrames(10);
    const Geometry before = geometryOf(run.x, run.window);
    ASSERT_LT(before.width, 1920);
    const Geometry screen{0, 0, 1920, 1080};
    std::vector<std::pair<int, int>> clicks;  // screen points clicked in fullscreen
    for (const std::string key : {"F11", "alt+Return"}) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(run.pressUntil(key, screen)) << "not fullscreen";
        run.waitFrames(5);  // painted at the new size
        const win::Image shot = run.screenshot();
        ASSERT_EQ(shot.width, 1920) << "no screenshot";
        auto pixel = [&](int px, int py) {
            const size_t i = (static_cast<size_t>(py) * shot.width + px) * 3;
            return (shot.rgb[i] << 16) | (shot.rgb[i + 1] << 8) | shot.rgb[i + 2];
        };
        // The canvas's sky from corner to corner: no frame, no caption, no bars.
        EXPECT_EQ(pixel(2, 2), 0x0B1328);
        EXPECT_EQ(pixel(960, 540), 0x0B1328);
        EXPECT_EQ(pixel(1917, 1077), 0x0B1328);
        // A right click 1.2 screen px per canvas px from the origin: canvas (400, 225), (500, 225).
        const int cx = 480 + 120 * static_cast<int>(clicks.size());
        clicks.emplace_back(cx, 270);
        run.xdotool("mousemove " + std::to_string(cx) + " 270 mousedown 3 sleep 0.2 mouseup 3");
        run.waitFrames(5);
        ASSERT_TRUE(run.pressUntil(key, before)) << "not back";
        run.waitFrames(5);
    }
    EXPECT_EQ(run.endWith("Escape"), 0) << e2e::readFile(run.dir + "/stderr.txt");

    const auto t = lines(e2e::readFile(run.trace));
    int at = 0;
    for (const auto& [px, py] : clicks) {
        at = test_support::findLine(t, "Mouse 1 -> 1", at);
        ASSERT_GT(at, 0) << "the click at " << px << " never arrived";
        EXPECT_EQ(t[static_cast<size_t>(at) + 1], "MouseX -> " + std::to_string(px * 1600 / 1920));
        EXPECT_EQ(t[static_cast<size_t>(at) + 2], "MouseY -> " + std::to_string(py * 900 / 1080));
        ++at;
    }
    EXPECT_NE(e2e::find(t, "raise 0 null"), -1) << "not the orderly end";
    expectEveryBlockFreed(t);
    const e2e::Run replay = e2e::run(win::kLinuxExe, {{"LUMEN_SCRIPT", run.dir + "/input.script"}});
    EXPECT_EQ(win::withoutBuildId(replay.trace), win::withoutBuildId(t)) << "the recording replays to the same frames";
}

// A failure of a copy started without a console or standard error, as a double-click in the
// file manager starts it (here by Wine's `start`, which goes through the same shell call): the
// line is shown in a message box titled Stackrise, and the run still ends with status 1.
TEST(WindowsWindow, FailureWithoutAConsoleIsShownInAMessageBox) {
    ASSERT_FALSE(win::display().empty()) << "no display";
    const std::string exe = win::install("");
    const std::string dir = e2e::tempDir("box");
    const pid_t started = win::spawn({"/usr/lib/wine/wine64", "start", "/wait", "/unix", exe}, win::wineEnv(),
                                     dir + "/start.txt");
    const e2e::Run probe = e2e::run(win::launcher(win::kTests + "/box_probe.exe", {"30"}), win::wineEnv());
    const int status = win::waitFor(started, 30);
    EXPECT_EQ(probe.status, 0) << probe.err;
    const auto shown = lines(probe.err);
    ASSERT_GE(shown.size(), 2u) << probe.err;
    EXPECT_EQ(shown[0], "box");
    // The box's text ("text " and its rows, which it wraps at spaces into 80 characters at most)
    // as one line again.
    std::string text;
    for (size_t i = 1; i < shown.size(); ++i) {
        const std::string row = i == 1 ? shown[i].substr(5) : shown[i];
        EXPECT_LE(row.size(), 80u) << row;
        text += (i == 1 ? "" : " ") + row;
    }
    EXPECT_GT(shown.size(), 2u) << "a line this long takes more than one row";
    EXPECT_EQ(text.rfind("Stackrise: fault 0xBB9 (3001) at 0x", 0), 0u) << text;
    EXPECT_NE(text.find("cannot load Data/Lumen.lmd (" + windowsPath(folderOf(exe) + "/Data/Lumen.lmd") + ": "),
              std::string::npos) << text;
    EXPECT_EQ(status, 1) << "the exit status once the box is closed";

    // A fault raised by Lumen, which has put the null device behind the missing standard
    // streams by then: the box all the same, with Lumen's message.
    std::map<std::string, std::string> env = win::wineEnv();
    const std::string script = dir + "/fault.script";
    e2e::writeFile(script, "1 move 300 500\n3 fault 5000 the tower fell\n");
    env["LUMEN_SCRIPT"] = windowsPath(script);
    const pid_t faulting = win::spawn({"/usr/lib/wine/wine64", "start", "/wait", "/unix", kExe}, env, dir + "/start2.txt");
    const e2e::Run probe2 = e2e::run(win::launcher(win::kTests + "/box_probe.exe", {"30"}), win::wineEnv());
    EXPECT_EQ(win::waitFor(faulting, 30), 1);
    EXPECT_EQ(probe2.status, 0) << probe2.err;
    std::string text2;  // the probe's lines (CR LF under Wine) as one
    for (const std::string& row : lines(probe2.err)) text2 += (text2.empty() ? "" : " ") + row;
    EXPECT_NE(text2.find("text Stackrise: fault 0x1388 (5000) at 0x"), std::string::npos) << probe2.err;
    EXPECT_NE(text2.find(": the tower fell"), std::string::npos) << probe2.err;

    // With standard error redirected (every other test), the line goes there and no box waits.
    const pid_t quiet = win::spawn({"/usr/lib/wine/wine64", exe}, win::wineEnv(), dir + "/stderr.txt");
    const e2e::Run none = e2e::run(win::launcher(win::kTests + "/box_probe.exe", {"3"}), win::wineEnv());
    EXPECT_EQ(win::waitFor(quiet, 30), 1);
    EXPECT_EQ(none.status, 1) << none.err;
    EXPECT_NE(e2e::readFile(dir + "/stderr.txt").find("fault 0xBB9 (3001)"), std::string::npos);
    if (!testing::Test::HasFailure()) fs::remove_all(dir);
}

// ---- Stop signals under Wine ---------------------------------------------------------------

namespace {

// A long headless run (paced, so that it lasts) with its picture and trace in a folder of its own.
struct LongRun {
    std::string dir = e2e::tempDir("signal");
    std::string script = dir + "/long.script";
    std::map<std::string, std::string> env;
    LongRun() {
        e2e::writeFile(script, "1 move 300 500\n2 press left\n3 move 500 500\n4 release left\n100000 quit\n");
        env = win::wineEnv();
        env.insert({{"PATH", "/usr/bin:/bin"}, {"HOME", dir}, {"LUMEN_SCRIPT", script}, {"LUMEN_FPS", "60"},
                    {"LUMEN_CAPTURE", dir + "/last.png"}, {"LUMEN_TRACE", dir + "/trace.txt"}});
    }
    // Waits (at most 30 s) until some file of the folder (the trace being written) holds frame 30.
    bool waitForFrame30() const { return waitForFrame(30); }
    bool waitForFrame(int frame) const {
        const std::string act = "\nAct " + std::to_string(frame) + "\n";
        for (int i = 0; i < 600; ++i) {
            for (const auto& entry : fs::directory_iterator(dir)) {
                if (entry.is_regular_file() && e2e::readFile(entry.path()).find(act) != std::string::npos)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // The run ended as closing the window ends it: the orderly end, Free, the picture whole.
    void expectOrderlyEnd(int status, const std::string& err) const {
        EXPECT_EQ(status, 0) << err;
        EXPECT_EQ(err, "");
        const auto trace = lines(e2e::readFile(dir + "/trace.txt"));
        EXPECT_GE(e2e::count(trace, "Act "), 30);
        EXPECT_LT(e2e::count(trace, "Act "), 100000) << "the run was not stopped";
        EXPECT_NE(e2e::find(trace, "raise 0 null"), -1) << "not the orderly end";
        EXPECT_NE(e2e::find(trace, "Free live=1"), -1);
        const win::Image picture = win::readPng(dir + "/last.png");
        EXPECT_EQ(picture.width, 1600) << "no whole picture";
        EXPECT_EQ(picture.height, 900);
        for (const auto& entry : fs::directory_iterator(dir))
            EXPECT_NE(entry.path().extension(), ".tmp") << "a temporary was left: " << entry.path();
    }
    ~LongRun() {
        if (!testing::Test::HasFailure()) fs::remove_all(dir);
    }
};

}  // namespace

TEST(WindowsSignals, SigintSigtermAndSighupEndAHeadlessRunInOrder) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        LongRun run;
        const pid_t pid = win::spawn({"/usr/lib/wine/wine64", kExe}, run.env, run.dir + "/stderr.txt");
        ASSERT_TRUE(run.waitForFrame30()) << e2e::readFile(run.dir + "/stderr.txt");
        kill(pid, sig);
        const int status = win::waitFor(pid, 30);
        run.expectOrderlyEnd(status, e2e::readFile(run.dir + "/stderr.txt"));
    }
}

// At one frame in 100 s a stop ends the run at once (it would be killed at the 15 s limit
// otherwise), and SIGTERM twice in a row, as `timeout` sends it to the run and its group, is one
// request: the run ends in order with its picture.
TEST(WindowsSignals, ARepeatedStopAtASlowRateEndsTheRunPromptlyAndInOrder) {
    LongRun run;
    run.env["LUMEN_FPS"] = "0.01";
    const pid_t pid = win::spawn({"/usr/lib/wine/wine64", kExe}, run.env, run.dir + "/stderr.txt");
    ASSERT_TRUE(run.waitForFrame(1)) << e2e::readFile(run.dir + "/stderr.txt");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, SIGTERM);
    kill(pid, SIGTERM);
    const int status = win::waitFor(pid, 15);
    EXPECT_EQ(status, 0) << e2e::readFile(run.dir + "/stderr.txt");
    const auto trace = lines(e2e::readFile(run.dir + "/trace.txt"));
    EXPECT_EQ(e2e::count(trace, "Act "), 2);
    EXPECT_NE(e2e::find(trace, "raise 0 null"), -1) << "not the orderly end";
    EXPECT_NE(e2e::find(trace, "Free live=1"), -1);
    EXPECT_EQ(win::readPng(run.dir + "/last.png").width, 1600) << "no whole picture";
}

TEST(WindowsSignals, CtrlCInATerminalEndsTheRunInOrder) {
    // As a user does: the program runs in a terminal and Ctrl-C is typed there.
    LongRun run;
    std::vector<std::string> entries;
    for (const auto& [k, v] : run.env) entries.push_back(k + "=" + v);
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<char*> envp;
        for (auto& e : entries) envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string wine = "/usr/lib/wine/wine64";
        char* argv[] = {const_cast<char*>(wine.c_str()), const_cast<char*>(kExe.c_str()), nullptr};
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    // What the terminal shows, read as it comes so that the program never waits on it.
    std::string shown;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        char buffer[4096];
        while (reading) {
            pollfd ready{terminal, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) continue;
            const ssize_t n = read(terminal, buffer, sizeof buffer);
            if (n <= 0) break;
            shown.append(buffer, static_cast<size_t>(n));
        }
    });
    const bool going = run.waitForFrame30();
    const char ctrlC = 0x03;
    if (going) {
        EXPECT_EQ(write(terminal, &ctrlC, 1), 1);
    }
    const int status = win::waitFor(pid, 30);
    reading = false;
    reader.join();
    close(terminal);
    ASSERT_TRUE(going) << shown;
    // The terminal echoes the ^C; nothing else may be shown.
    std::string rest = shown;
    for (const std::string echo : {"^C", "\r", "\n"}) {
        for (size_t at; (at = rest.find(echo)) != std::string::npos;) rest.erase(at, echo.size());
    }
    run.expectOrderlyEnd(status, rest);
}

TEST(WindowsSignals, SigtermEndsAWindowedRunAsClosingTheWindowDoes) {
    WindowedRun run;
    ASSERT_TRUE(run.start()) << "no window titled Stackrise (or no display)";
    run.waitFrames(30);
    kill(run.pid, SIGTERM);
    const int status = win::waitFor(run.pid, 30);
    run.pid = -1;
    EXPECT_EQ(status, 0) << e2e::readFile(run.dir + "/stderr.txt");
    const auto t = lines(e2e::readFile(run.trace));
    EXPECT_NE(e2e::find(t, "raise 0 null"), -1) << "not the orderly end";
    EXPECT_NE(e2e::find(t, "Free live=1"), -1);
    expectEveryBlockFreed(t);
    EXPECT_EQ(win::readPng(run.dir + "/last.png").width, 1600) << "no whole picture";
    // The recording ends with its quit and replays to the same frames.
    const std::string recording = e2e::readFile(run.dir + "/input.script");
    EXPECT_NE(recording.find(" quit"), std::string::npos) << recording;
    const e2e::Run replay = e2e::run(win::kLinuxExe, {{"LUMEN_SCRIPT", run.dir + "/input.script"}});
    EXPECT_EQ(win::withoutBuildId(replay.trace), win::withoutBuildId(t));
}

// ---- Outputs under Wine ---------------------------------------------------------------------

namespace {

// A small file system of its own (tmpfs, which root can mount), gone at the end.
struct SmallDisk {
    std::string dir = e2e::tempDir("smalldisk");
    bool mounted = false;
    explicit SmallDisk(const char* size) { mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, size) == 0; }
    // Fills what is left of it.
    void fill() const {
        std::string block(4096, 'x');
        if (FILE* f = std::fopen((dir + "/filler").c_str(), "wb")) {
            while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
            }
            std::fclose(f);
        }
    }
    bool makeReadOnly() const {
        return mount("tmpfs", dir.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    std::set<std::string> names() const {
        std::set<std::string> out;
        for (const auto& entry : fs::directory_iterator(dir)) out.insert(entry.path().filename().string());
        return out;
    }
    ~SmallDisk() {
        if (mounted) umount2(dir.c_str(), MNT_DETACH);
        fs::remove_all(dir);
    }
};

}  // namespace

TEST(WindowsOutputs, FullDiskKeepsTheEarlierPictureAndTraceWholeAndFailsTheRun) {
    SmallDisk disk("size=256k");
    if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    e2e::writeFile(disk.dir + "/last.png", "an earlier picture");
    e2e::writeFile(disk.dir + "/trace.txt", "an earlier trace\n");
    disk.fill();
    const std::set<std::string> before = disk.names();
    const std::string script = e2e::tempDir("fullscript") + "/s.script";
    e2e::writeFile(script, "3 quit\n");
    // The picture (5.7 MB stored) cannot fit; the trace has no room from its first line.
    for (const auto& [variable, file] : std::vector<std::pair<std::string, std::string>>{
             {"LUMEN_CAPTURE", "/last.png"}, {"LUMEN_TRACE", "/trace.txt"}}) {
        SCOPED_TRACE(variable);
        std::map<std::string, std::string> env = win::wineEnv();
        env.insert({{"PATH", "/usr/bin:/bin"}, {"LUMEN_SCRIPT", script}, {variable, disk.dir + file}});
        const std::string err = e2e::tempDir("fullerr") + "/stderr.txt";
        const int status = win::waitFor(win::spawn({"/usr/lib/wine/wine64", kExe}, env, err), 60);
        EXPECT_EQ(status, 1);
        const auto said = lines(e2e::readFile(err));
        ASSERT_EQ(said.size(), 1u) << e2e::readFile(err);
        EXPECT_NE(said[0].find("cannot write " + std::string(variable == "LUMEN_CAPTURE" ? "picture " : "trace ") +
                               disk.dir + file + ": "),
                  std::string::npos)
            << said[0];
        EXPECT_EQ(e2e::readFile(disk.dir + "/last.png"), "an earlier picture");
        EXPECT_EQ(e2e::readFile(disk.dir + "/trace.txt"), "an earlier trace\n");
        EXPECT_EQ(disk.names(), before) << "a temporary was left behind";
    }
}

TEST(WindowsOutputs, ReadOnlyFolderFailsWithOneLineAndKeepsItsFile) {
    SmallDisk disk("size=1m");
    if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    e2e::writeFile(disk.dir + "/last.png", "an earlier picture");
    ASSERT_TRUE(disk.makeReadOnly());
    const e2e::Run r = win::runScript(kExe, "3 quit\n", "1", {{"LUMEN_CAPTURE", disk.dir + "/last.png"}});
    EXPECT_EQ(r.status, 2);
    const auto said = lines(r.err);
    ASSERT_EQ(said.size(), 1u) << r.err;
    // A setting that cannot be used: the message alone, no code place.
    EXPECT_EQ(said[0].rfind("Stackrise: cannot write picture " + disk.dir + "/last.png: ", 0), 0u) << said[0];
    EXPECT_EQ(said[0].find("fault 0x"), std::string::npos) << said[0];
    EXPECT_EQ(e2e::readFile(disk.dir + "/last.png"), "an earlier picture");
}

// A read-only file cannot be replaced on Windows: refused at the start, untouched. A name near
// the limit works (its temporary is shortened), and a stale temporary of a gone process goes.
TEST(WindowsOutputs, ReadOnlyFileIsRefusedAtTheStartLongNamesWorkStaleTemporariesGo) {
    const test_support::TempDir dir("winout");
    const std::string locked = dir.path() + "/last.png";
    e2e::writeFile(locked, "an earlier picture");
    ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);  // Wine shows it as FILE_ATTRIBUTE_READONLY
    const e2e::Run refused = win::runScript(kExe, "3 quit\n", "1", {{"LUMEN_CAPTURE", locked}});
    e2e::expectOneSettingLine(refused, {"cannot write picture " + locked + ": it is read-only"});
    EXPECT_EQ(e2e::readFile(locked), "an earlier picture");

    const std::string name = std::string(246, 'n') + ".png";
    const std::string stale = ".n.gif.99999-1.tmp";
    e2e::writeFile(dir.path() + "/" + stale, "half");
    e2e::writeFile(dir.path() + "/n.gif", "an earlier picture");
    const e2e::Run ok = win::runScript(kExe, "3 quit\n", "1",
                                       {{"LUMEN_CAPTURE", dir.path() + "/" + name}, {"LUMEN_MOVIE", dir.path() + "/n.gif"}});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_TRUE(e2e::wholePng(e2e::readFile(dir.path() + "/" + name)));
    EXPECT_TRUE(e2e::wholeGif(e2e::readFile(dir.path() + "/n.gif")));
    EXPECT_EQ(e2e::strayFiles(dir.path(), {"last.png", name, "n.gif"}), std::vector<std::string>{});
}

TEST(WindowsOutputs, NulDeviceIsWrittenAsAStream) {
    // NUL (any case) is the null device wherever the program runs: nothing named NUL appears, the
    // run ends in order.
    const std::string cwd = e2e::tempDir("nulcwd");
    const std::string script = cwd + "/s.script";
    e2e::writeFile(script, "1 move 300 500\n2 press left\n3 move 500 500\n4 release left\n20 quit\n");
    for (const std::string name : {"NUL", "nul"}) {
        SCOPED_TRACE(name);
        const e2e::Run r = win::run(kExe, {{"LUMEN_SCRIPT", script}, {"LUMEN_CAPTURE", name}}, cwd);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(e2e::find(r.trace, "Free live=1"), -1);
    }
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(cwd)) left.insert(entry.path().filename().string());
    EXPECT_EQ(left, std::set<std::string>{"s.script"});
}

// cmake --install of the Windows tree lays out exactly the folder to hand out, and the
// installed program runs from there (its working directory elsewhere) as the built one does.
TEST(WindowsInstall, InstalledFolderHoldsTheProgramAndLumenAndRuns) {
    const std::string prefix = e2e::tempDir("wininstalled");
    const std::string command = std::string("'") + CMAKE_COMMAND + "' --install '" + WIN_BUILD + "' --prefix '" +
                                prefix + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(prefix)) {
        if (!e.is_directory()) files.insert(fs::relative(e.path(), prefix).generic_string());
    }
    EXPECT_EQ(files, (std::set<std::string>{"Data/Lumen.lmd", "stackrise.exe", "README.txt", "LICENSE.txt"}));

    const std::string drag = "0 seed 1\n10 move 100 880\n10 press left\n20 move 300 880\n22 release left\n200 quit\n";
    const e2e::Run r = win::runScript(prefix + "/stackrise.exe", drag);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_GE(e2e::find(r.trace, "Init title=\"Stackrise\""), 0);
    EXPECT_GE(e2e::find(r.trace, "DrawRect "), 0) << "the drag raised a tower";
    EXPECT_GE(e2e::find(r.trace, "Act 200"), 0);
    EXPECT_GE(e2e::find(r.trace, "Free live="), 0);
    fs::remove_all(prefix);
}
