// Outputs in the user's world, end to end: the shell's redirections through /dev/stdout,
// /dev/stderr and /dev/fd/N, existing files with their mode and owner, links (dangling, loops),
// sticky folders holding another user's file, a commit refused at the end, names at the
// system's length limit, stale temporaries, folders whose names hold control characters,
// spaces, accents, CJK and emoji, and outputs aimed at the program or its library.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "output_checks.h"
#include "support/process.h"

namespace fs = std::filesystem;

namespace {

const std::string kExe = STACKRISE_EXE;
const std::string kLibrary = fs::path(STACKRISE_EXE).parent_path().string() + "/Data/Lumen.lmd";
const std::string kShortRun = "1 move 100 500\n2 press left\n3 move 400 500\n4 release left\n30 quit\n";
constexpr uid_t kNobody = 65534;

using e2e::expectOneFailureLine;
using e2e::expectOneSettingLine;
using e2e::lines;
using e2e::strayFiles;
using e2e::wholePng;

// A folder of the test's own, removed with what it holds when the test ends.
class Outputs : public testing::Test {
protected:
    const std::string& dir() const { return dir_.path(); }
    // `script` written into the folder, for LUMEN_SCRIPT.
    std::string script(const std::string& text = kShortRun) const {
        const std::string path = dir() + "/run.script";
        e2e::writeFile(path, text);
        return path;
    }

private:
    test_support::TempDir dir_{"outputs"};
};

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A pid that no process has: a child's, once it is reaped.
pid_t goneProcess() {
    const pid_t child = ::fork();
    if (child == 0) _exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

// ---- Streams stay streams --------------------------------------------------------------------

// `>>` appends: the trace through /dev/stdout and through /dev/fd/3 comes after the earlier
// lines of the log the shell opened, which are all still there.
TEST_F(Outputs, AppendRedirectionsOfStdoutAndDescriptorsKeepEarlierLines) {
    for (const auto& [trace, redirection] : std::vector<std::pair<std::string, std::string>>{
             {"/dev/stdout", ">> log.txt"}, {"/dev/fd/3", "3>> log.txt"}, {"/proc/self/fd/1", ">> log.txt"}}) {
        SCOPED_TRACE(trace);
        e2e::writeFile(dir() + "/log.txt", "earlier line 1\nearlier line 2\n");
        e2e::RunOptions options;
        options.cwd = dir();
        options.redirections = redirection;
        const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_TRACE", trace}}, options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const std::vector<std::string> log = lines(e2e::readFile(dir() + "/log.txt"));
        ASSERT_GT(log.size(), 10u);
        EXPECT_EQ(log[0], "earlier line 1");
        EXPECT_EQ(log[1], "earlier line 2");
        EXPECT_EQ(log[2].rfind("AllocMem ", 0), 0u) << log[2];
        EXPECT_EQ(e2e::count(log, "Free live="), 1);
        EXPECT_EQ(strayFiles(dir(), {"log.txt", "run.script"}), std::vector<std::string>{});
    }
}

// `2>>` appends too, and the diagnostic line lands in the same log after the trace's lines,
// where the user looks for it.
TEST_F(Outputs, StderrAppendedByTheShellTakesTheTraceAndTheDiagnostic) {
    e2e::writeFile(dir() + "/err.log", "an earlier error\n");
    e2e::RunOptions options;
    options.cwd = dir();
    options.redirections = "2>> err.log";
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", script("1 jump\n")}, {"LUMEN_TRACE", "/dev/stderr"}}, options);
    EXPECT_EQ(r.status, 2);
    const std::vector<std::string> log = lines(e2e::readFile(dir() + "/err.log"));
    ASSERT_GT(log.size(), 3u);
    EXPECT_EQ(log[0], "an earlier error");
    const int diagnostic = e2e::find(log, "Stackrise: ");
    ASSERT_NE(diagnostic, -1) << e2e::readFile(dir() + "/err.log");
    EXPECT_NE(log[static_cast<std::size_t>(diagnostic)].find("run.script:1: unknown command \"jump\""), std::string::npos);
    EXPECT_EQ(log[static_cast<std::size_t>(diagnostic)].find("fault 0x"), std::string::npos);
    EXPECT_LT(e2e::find(log, "Init title="), diagnostic);
    EXPECT_GT(e2e::find(log, "Free live="), diagnostic);
}

// A descriptor that is not open, or open only for reading, is refused before the run.
TEST_F(Outputs, DescriptorsThatCannotTakeAnOutputAreRefused) {
    const e2e::Run closed = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", "/dev/fd/97"}});
    expectOneSettingLine(closed, {"cannot write picture /dev/fd/97: descriptor 97 is not open"});
    e2e::RunOptions options;
    options.redirections = "< " + script();
    const e2e::Run input = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", "/dev/stdin"}}, options);
    expectOneSettingLine(input, {"cannot write picture /dev/stdin: descriptor 0 is open only for reading"});
    EXPECT_EQ(e2e::readFile(dir() + "/run.script"), kShortRun);
}

// The program and its library are never written over, also through a link.
TEST_F(Outputs, TheProgramAndItsLibraryAreRefused) {
    fs::copy_file(kExe, dir() + "/stackrise");
    fs::create_directories(dir() + "/Data");
    fs::copy_file(kLibrary, dir() + "/Data/Lumen.lmd");
    fs::create_symlink(dir() + "/Data/Lumen.lmd", dir() + "/lib-link");
    const std::string program = e2e::readFile(dir() + "/stackrise"), library = e2e::readFile(kLibrary);
    const e2e::Run lib = e2e::run(dir() + "/stackrise", {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", dir() + "/lib-link"}});
    expectOneSettingLine(lib, {"LUMEN_CAPTURE and Lumen's library name the same file " + dir() + "/lib-link"});
    const e2e::Run exe = e2e::run(dir() + "/stackrise", {{"LUMEN_SCRIPT", script()}, {"LUMEN_TRACE", dir() + "/stackrise"}});
    expectOneSettingLine(exe, {"LUMEN_TRACE and the program name the same file " + dir() + "/stackrise"});
    EXPECT_TRUE(e2e::readFile(dir() + "/stackrise") == program) << "the program was written over";
    EXPECT_TRUE(e2e::readFile(dir() + "/Data/Lumen.lmd") == library) << "the library was written over";
}

// ---- Replacing keeps what the user set -------------------------------------------------------

// A private file stays private, with its owner; a new file gets the mode the umask gives.
TEST_F(Outputs, AReplacedFileKeepsItsModeAndOwnerANewOneFollowsTheUmask) {
    const std::string shot = dir() + "/shot.png", trace = dir() + "/trace.txt";
    e2e::writeFile(shot, "earlier");
    e2e::writeFile(trace, "earlier");
    ASSERT_EQ(::chmod(shot.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(trace.c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(shot.c_str(), kNobody, kNobody), 0);
    }
    const mode_t before = ::umask(027);
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", shot}, {"LUMEN_TRACE", trace},
                                       {"LUMEN_MOVIE", dir() + "/new.gif"}});
    ::umask(before);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(wholePng(e2e::readFile(shot)));
    EXPECT_EQ(modeOf(shot), 0600u);
    EXPECT_EQ(modeOf(trace), 0640u);
    EXPECT_EQ(modeOf(dir() + "/new.gif"), 0640u);  // 0666 less the umask's 027
    struct stat st {};
    ASSERT_EQ(::stat(shot.c_str(), &st), 0);
    if (root) {
        EXPECT_EQ(st.st_uid, kNobody);
        EXPECT_EQ(st.st_gid, kNobody);
    }
}

// A link to a file that does not exist yet makes that file and stays a link; a loop of links is
// refused before the first frame and left as it was.
TEST_F(Outputs, ADanglingLinkIsFollowedALoopIsRefused) {
    fs::create_directories(dir() + "/real");
    fs::create_symlink("real/shot.png", dir() + "/shot.png");
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", dir() + "/shot.png"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(dir() + "/shot.png"));
    EXPECT_TRUE(wholePng(e2e::readFile(dir() + "/real/shot.png")));

    fs::create_symlink("b", dir() + "/a");
    fs::create_symlink("a", dir() + "/b");
    const e2e::Run loop = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", dir() + "/a"}});
    expectOneSettingLine(loop, {"cannot write picture " + dir() + "/a: Too many levels of symbolic links"});
    EXPECT_EQ(e2e::find(loop.trace, "Act"), -1);
    EXPECT_EQ(fs::read_symlink(dir() + "/a"), "b");
    EXPECT_EQ(fs::read_symlink(dir() + "/b"), "a");
}

// ---- A commit never loses the only copy ------------------------------------------------------

// In a sticky folder another user's file cannot be replaced: run as nobody, the picture aimed at
// root's file is refused at the start, before any frame, and the file is untouched.
TEST_F(Outputs, AnotherUsersFileInAStickyFolderIsRefusedAtTheStart) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to make another user's file and run as nobody";
    if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv (util-linux) is not installed";
    if (lines(test_support::shellOutput("setpriv --reuid=65534 --regid=65534 --clear-groups -- ls -d " + kLibrary)).size() != 1)
        GTEST_SKIP() << "nobody cannot reach the built program here";
    const std::string sticky = dir() + "/shared";
    fs::create_directories(sticky);
    ASSERT_EQ(::chmod(dir().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    e2e::writeFile(sticky + "/shot.png", "root's picture");
    ASSERT_EQ(::chmod((sticky + "/shot.png").c_str(), 0666), 0);  // writable by all, yet not replaceable
    const std::string runScript = script();
    ASSERT_EQ(::chmod(runScript.c_str(), 0644), 0);
    e2e::RunOptions options;
    options.through = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", runScript}, {"LUMEN_CAPTURE", sticky + "/shot.png"},
                                       {"LUMEN_TRACE", sticky + "/trace.txt"}}, options);
    expectOneSettingLine(r, {"cannot write picture " + sticky + "/shot.png: it belongs to another user in "
                                       "sticky folder " + sticky + ", where only its owner may replace it"});
    const std::vector<std::string> trace = test_support::readLines(sticky + "/trace.txt");
    EXPECT_NE(e2e::find(trace, "Init title="), -1);
    EXPECT_EQ(e2e::find(trace, "Act"), -1);
    EXPECT_EQ(e2e::readFile(sticky + "/shot.png"), "root's picture");
    EXPECT_EQ(strayFiles(sticky, {"shot.png", "trace.txt"}), std::vector<std::string>{});
}

// Another user's file appears in the sticky folder during the run (root's, the run is nobody's):
// the rename at the end is refused, and the whole picture of the session is kept and named.
TEST_F(Outputs, AnotherUsersFileAppearingInAStickyFolderKeepsTheWholeOutput) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to make another user's file and run as nobody";
    if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv (util-linux) is not installed";
    if (lines(test_support::shellOutput("setpriv --reuid=65534 --regid=65534 --clear-groups -- ls -d " + kLibrary)).size() != 1)
        GTEST_SKIP() << "nobody cannot reach the built program here";
    const std::string sticky = dir() + "/shared", shot = sticky + "/shot.png";
    fs::create_directories(sticky);
    ASSERT_EQ(::chmod(dir().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    const std::string runScript = script("1 move 10 10\n90 quit\n");
    ASSERT_EQ(::chmod(runScript.c_str(), 0644), 0);
    e2e::RunOptions options;
    options.through = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    options.meanwhileAfterMs = 300;
    options.meanwhile = [&] { e2e::writeFile(shot, "root's picture"); };
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", runScript}, {"LUMEN_FPS", "60"}, {"LUMEN_CAPTURE", shot},
                                       {"LUMEN_TRACE", sticky + "/trace.txt"}}, options);
    expectOneFailureLine(r, {"(1006)", "cannot write picture " + shot + ": Operation not permitted; the whole picture is kept in "});
    const std::vector<std::string> stray = strayFiles(sticky, {"shot.png", "trace.txt"});
    ASSERT_EQ(stray.size(), 1u);
    EXPECT_NE(r.err.find("is kept in " + sticky + "/" + stray[0] + "\n"), std::string::npos) << r.err;
    EXPECT_TRUE(wholePng(e2e::readFile(sticky + "/" + stray[0])));
    EXPECT_EQ(e2e::readFile(shot), "root's picture");
}

// A file mounted onto the path on its own (as a container binds one) cannot be renamed over:
// refused at the start, both files untouched.
TEST_F(Outputs, AFileMountedOnItsOwnIsRefusedAtTheStart) {
    const std::string source = dir() + "/source.png", shot = dir() + "/shot.png";
    e2e::writeFile(source, "the bound picture");
    e2e::writeFile(shot, "under the mount");
    if (::mount(source.c_str(), shot.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot bind-mount a file here (needs root)";
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", shot}});
    const std::string bound = e2e::readFile(shot);
    ::umount2(shot.c_str(), MNT_DETACH);
    expectOneSettingLine(r, {"cannot write picture " + shot + ": it is mounted on its own"});
    EXPECT_EQ(bound, "the bound picture");
    EXPECT_EQ(e2e::readFile(source), "the bound picture");
    EXPECT_EQ(strayFiles(dir(), {"source.png", "shot.png", "run.script"}), std::vector<std::string>{});
}

// Refused its place at the end all the same (a folder took the picture's name during the run):
// the whole picture is kept beside it and named in the one line; the user's earlier picture,
// moved away meanwhile, is untouched.
TEST_F(Outputs, ACommitRefusedAtTheEndKeepsTheWholeOutput) {
    const std::string shot = dir() + "/shot.png";
    e2e::writeFile(shot, "earlier");
    e2e::RunOptions options;
    options.meanwhileAfterMs = 300;
    options.meanwhile = [&] {
        fs::rename(shot, dir() + "/moved.png");
        fs::create_directories(shot + "/inside");
    };
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", script("1 move 10 10\n90 quit\n")}, {"LUMEN_FPS", "60"},
                                       {"LUMEN_CAPTURE", shot}}, options);
    expectOneFailureLine(r, {"(1006)", "cannot write picture " + shot + ": Is a directory; the whole picture is kept in "});
    const std::vector<std::string> stray = strayFiles(dir(), {"shot.png", "moved.png", "run.script"});
    ASSERT_EQ(stray.size(), 1u);
    EXPECT_EQ(stray[0].rfind("shot.png.", 0), 0u) << stray[0];
    EXPECT_NE(r.err.find("is kept in " + dir() + "/" + stray[0] + "\n"), std::string::npos) << r.err;
    EXPECT_TRUE(wholePng(e2e::readFile(dir() + "/" + stray[0])));
    EXPECT_EQ(e2e::readFile(dir() + "/moved.png"), "earlier");
}

// ---- Names -----------------------------------------------------------------------------------

// Names as long as the system allows take their outputs: the temporary's name is shortened to
// fit, also where it cuts through a two-byte character.
TEST_F(Outputs, NamesAtTheLengthLimitWork) {
    const std::string ascii = std::string(246, 'n') + ".png";  // 250 bytes
    std::string accented;
    for (int i = 0; i < 125; ++i) accented += "\xC3\xA9";  // é
    accented += ".gif";                                      // 254 bytes
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", dir() + "/" + ascii},
                                       {"LUMEN_MOVIE", dir() + "/" + accented}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(wholePng(e2e::readFile(dir() + "/" + ascii)));
    EXPECT_TRUE(e2e::wholeGif(e2e::readFile(dir() + "/" + accented)));
    EXPECT_EQ(strayFiles(dir(), {ascii, accented, "run.script"}), std::vector<std::string>{});
}

// The temporaries of a process that is gone are removed by the next run that writes the same
// output; those of a live process and of another output stay.
TEST_F(Outputs, StaleTemporariesOfGoneProcessesAreRemoved) {
    const std::string gone = std::to_string(goneProcess()), alive = std::to_string(::getpid());
    const std::string stale = ".shot.png." + gone + "-4711.tmp", live = ".shot.png." + alive + "-4711.tmp",
                      other = ".other.png." + gone + "-4711.tmp";
    const std::string longName = std::string(240, 'n') + ".gif";
    const std::string longStale = "." + longName.substr(0, 255 - 1 - gone.size() - 10) + "." + gone + "-4711.tmp";
    ASSERT_EQ(longStale.size(), 255u);
    for (const std::string& name : {stale, live, other, longStale}) e2e::writeFile(dir() + "/" + name, "half a picture");
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", dir() + "/shot.png"},
                                       {"LUMEN_MOVIE", dir() + "/" + longName}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(dir() + "/" + stale));
    EXPECT_FALSE(fs::exists(dir() + "/" + longStale));
    EXPECT_TRUE(fs::exists(dir() + "/" + live));
    EXPECT_TRUE(fs::exists(dir() + "/" + other));
    EXPECT_TRUE(wholePng(e2e::readFile(dir() + "/shot.png")));
}

// A missing folder is named as the problem, its control characters escaped: the line is one
// line, with no raw escape sequence for the terminal; so are the 3001 line and a bad setting's.
TEST_F(Outputs, AMissingFolderIsNamedWithItsControlCharactersEscaped) {
    const std::string folder = dir() + "/a\x1b[31mred\x07\nb";
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", folder + "/shot.png"}});
    const std::string shown = dir() + "/a\\x1B[31mred\\x07\\nb";
    expectOneSettingLine(r, {"cannot write picture " + shown + "/shot.png: cannot create a file in folder " +
                                           shown + ": No such file or directory"});
    for (const char c : r.err) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);

    // The 3001 line too: a program in such a folder without its library.
    const std::string odd = dir() + "/in\x1b]0;title\x07here";
    fs::create_directories(odd);
    fs::copy_file(kExe, odd + "/stackrise");
    const e2e::Run missing = e2e::run(odd + "/stackrise", {});
    expectOneFailureLine(missing, {"(3001)", "in\\x1B]0;title\\x07here"});

    // A bad setting's line too: a blend path named with an escape sequence.
    const e2e::Run note = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_SIMD", "x\x1b[2J"}});
    expectOneSettingLine(note, {"bad LUMEN_SIMD \"x\\x1B[2J\""});
    EXPECT_EQ(note.err.find('\x1b'), std::string::npos);
}

// Spaces, accents, CJK and emoji in a folder's name: every output is written there, the trace
// too, and a missing one is named as it is.
TEST_F(Outputs, FoldersWithSpacesAccentsCjkAndEmojiTakeEveryOutput) {
    const std::string folder = dir() + "/Pictures d\xC3\xA9j\xC3\xA0 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\x9E";
    fs::create_directories(folder);
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", folder + "/shot \xE5\xA0\xB1.png"},
                                       {"LUMEN_MOVIE", folder + "/m\xC3\xB6vie.gif"}, {"LUMEN_TRACE", folder + "/trace.txt"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(wholePng(e2e::readFile(folder + "/shot \xE5\xA0\xB1.png")));
    EXPECT_TRUE(e2e::wholeGif(e2e::readFile(folder + "/m\xC3\xB6vie.gif")));
    EXPECT_EQ(e2e::count(test_support::readLines(folder + "/trace.txt"), "Free live="), 1);
    EXPECT_EQ(strayFiles(folder, {"shot \xE5\xA0\xB1.png", "m\xC3\xB6vie.gif", "trace.txt"}), std::vector<std::string>{});

    const e2e::Run missing = e2e::run(kExe, {{"LUMEN_SCRIPT", script()}, {"LUMEN_CAPTURE", folder + "/nope/x.png"}});
    expectOneSettingLine(missing, {"cannot create a file in folder " + folder + "/nope: No such file"});
}

}  // namespace
