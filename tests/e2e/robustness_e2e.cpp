// Nothing lost, nothing loaded from the wrong place, end to end: the real program and Lumen
// against full disks, read-only folders, devices, FIFOs, existing files, outputs that name
// inputs, unreadable and endless inputs, stop signals, closed descriptors, a stack overflow, a
// damaged library and a library path beyond the system's limit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <thread>

#include "harness.h"
#include "output_checks.h"
#include "support/process.h"

namespace fs = std::filesystem;

namespace {

const std::string kExe = STACKRISE_EXE;
const std::string kLibrary = fs::path(STACKRISE_EXE).parent_path().string() + "/Data/Lumen.lmd";
const std::string kShortRun = "1 move 100 500\n2 press left\n3 move 400 500\n4 release left\n30 quit\n";

using e2e::expectOneFailureLine;
using e2e::expectOneSettingLine;
using e2e::lines;
using e2e::strayFiles;
using e2e::wholeGif;
using e2e::wholePng;

// A small tmpfs, which root can mount: a real full disk or a real read-only folder.
class Tmpfs {
public:
    explicit Tmpfs(const std::string& options) : dir_(e2e::tempDir("tmpfs")) {
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~Tmpfs() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
        fs::remove_all(dir_);
    }
    bool mounted() const { return mounted_; }
    const std::string& dir() const { return dir_; }
    void readOnly() { mounted_ = ::mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }

private:
    std::string dir_;
    bool mounted_ = false;
};

// ---- Outputs ---------------------------------------------------------------------------------

// A full disk: the picture and the movie cannot be written; the user's earlier files at their
// paths stay whole, no temporary is left, and the run fails with one line naming the file.
TEST(Outputs, FullDiskKeepsWhatWasThere) {
    Tmpfs disk("size=64k");
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const std::string png = disk.dir() + "/demo.png", gif = disk.dir() + "/demo.gif";
    e2e::writeFile(png, "earlier picture");
    e2e::writeFile(gif, "earlier movie");
    // Leave (nearly) nothing free: less than the picture or the movie needs (a short run's movie,
    // whose later frames hold only what changed, takes a few KiB).
    e2e::writeFile(disk.dir() + "/filler", std::string(56 * 1024, 'x'));
    const e2e::Run r = e2e::runScript(kExe, kShortRun, "1", {{"LUMEN_CAPTURE", png}, {"LUMEN_MOVIE", gif}});
    expectOneFailureLine(r, {"(1006)", "Lumen: cannot write ", "No space left on device"});
    EXPECT_EQ(e2e::readFile(png), "earlier picture");
    EXPECT_EQ(e2e::readFile(gif), "earlier movie");
    EXPECT_EQ(strayFiles(disk.dir(), {"demo.png", "demo.gif", "filler"}), std::vector<std::string>{});
    EXPECT_EQ(e2e::count(r.trace, "Free live="), 1);
}

// A read-only folder: the picture cannot even be started, which Init reports at once.
TEST(Outputs, ReadOnlyFolderFailsAtInitAndTouchesNothing) {
    Tmpfs folder("size=1m");
    if (!folder.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    e2e::writeFile(folder.dir() + "/shot.png", "earlier picture");
    folder.readOnly();
    ASSERT_TRUE(folder.mounted());
    const e2e::Run r = e2e::runScript(kExe, kShortRun, "1", {{"LUMEN_CAPTURE", folder.dir() + "/shot.png"}});
    expectOneSettingLine(r, {"cannot write picture " + folder.dir() + "/shot.png: cannot create a file in folder " +
                                 folder.dir() + ": Read-only file system"});
    EXPECT_EQ(e2e::find(r.trace, "Act"), -1);
    EXPECT_EQ(e2e::readFile(folder.dir() + "/shot.png"), "earlier picture");
}

// An existing file is replaced whole; a device that fails (/dev/full) is a failure of the run
// and stays a device; the null device takes a picture and is left alone.
TEST(Outputs, ExistingFilesAreReplacedWholeAndDevicesAreStreams) {
    const std::string dir = e2e::tempDir("outputs");
    e2e::writeFile(dir + "/shot.png", "earlier picture");
    e2e::RunOptions here;
    const e2e::Run ok = e2e::runScript(kExe, kShortRun, "1", {{"LUMEN_CAPTURE", dir + "/shot.png"}});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_TRUE(wholePng(e2e::readFile(dir + "/shot.png")));
    EXPECT_EQ(strayFiles(dir, {"shot.png"}), std::vector<std::string>{});

    const e2e::Run full = e2e::runScript(kExe, kShortRun, "1", {{"LUMEN_CAPTURE", "/dev/full"}});
    expectOneFailureLine(full, {"(1006)", "cannot write picture /dev/full: "});
    struct stat st {};
    ASSERT_EQ(::stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    // Two outputs on one device are no conflict: nothing there can be lost.
    const e2e::Run null = e2e::runScript(kExe, kShortRun, "1", {{"LUMEN_CAPTURE", "/dev/null"}, {"LUMEN_MOVIE", "/dev/null"}});
    EXPECT_EQ(null.status, 0) << null.err;
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    fs::remove_all(dir);
}

// A FIFO takes the picture as a stream, and is still a FIFO afterwards.
TEST(Outputs, FifoTakesThePictureAsAStream) {
    const std::string dir = e2e::tempDir("fifo");
    const std::string fifo = dir + "/picture";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = e2e::readFile(fifo); });
    const e2e::Run r = e2e::runScript(kExe, kShortRun, "1", {{"LUMEN_CAPTURE", fifo}});
    reader.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(wholePng(received)) << received.size() << " bytes";
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    fs::remove_all(dir);
}

// An output that names an input or another output is refused before anything is opened: the
// script survives a trace aimed at it, also through a link.
TEST(Outputs, AnOutputNamingAnInputIsRefused) {
    const std::string dir = e2e::tempDir("same");
    const std::string script = dir + "/run.script";
    e2e::writeFile(script, kShortRun);
    fs::create_symlink(script, dir + "/link.script");
    for (const auto& [variable, path] : std::vector<std::pair<std::string, std::string>>{
             {"LUMEN_TRACE", script}, {"LUMEN_CAPTURE", dir + "/link.script"}, {"LUMEN_MOVIE", script}}) {
        const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", script}, {variable, path}});
        expectOneSettingLine(r, {variable + " and LUMEN_SCRIPT name the same file"});
        EXPECT_EQ(e2e::readFile(script), kShortRun) << variable;
    }
    fs::remove_all(dir);
}

// A write to a closed pipe is a write error like any other: the run is not killed by SIGPIPE.
TEST(Outputs, ClosedPipeIsAWriteErrorNotAKill) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const e2e::Run r = e2e::runScript(kExe, kShortRun, "1", {{"LUMEN_TRACE", "/proc/self/fd/" + std::to_string(fds[1])}});
    ::close(fds[1]);
    expectOneFailureLine(r, {"(1006)", "cannot write trace", "Broken pipe"});
}

// ---- Inputs ----------------------------------------------------------------------------------

TEST(Inputs, UnreadableAndEndlessScriptsAreRefusedNamingTheFile) {
    const std::string dir = e2e::tempDir("inputs");
    const e2e::Run folder = e2e::run(kExe, {{"LUMEN_SCRIPT", dir}});
    expectOneSettingLine(folder, {"cannot read script " + dir + ": it is a folder"});
    const e2e::Run endless = e2e::run(kExe, {{"LUMEN_SCRIPT", "/dev/zero"}}, "", 30);
    expectOneSettingLine(endless, {"cannot read script /dev/zero: larger than 64 MiB"});
    const e2e::Run garbage = e2e::runScript(kExe, std::string("1 move \xff\xfe 3\n\x01\x02", 12));
    expectOneSettingLine(garbage, {":1: bad number"});
    const e2e::Run slow = e2e::runScript(kExe, kShortRun, "1", {{"LUMEN_FPS", "1e-300"}});
    expectOneSettingLine(slow, {"bad LUMEN_FPS \"1e-300\": frames per second, from 0.000001 to 1000000"});
    fs::remove_all(dir);
}

// ---- Ends ------------------------------------------------------------------------------------

// SIGINT, SIGTERM and SIGHUP end a headless run as closing the window does: status 0, nothing
// on standard error, Free called, the picture and the movie whole.
TEST(Ends, StopSignalsEndAHeadlessRunInOrder) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const std::string dir = e2e::tempDir("signal");
        e2e::RunOptions options;
        options.signal = sig;
        options.signalAfterMs = 700;
        const e2e::Run r = e2e::run(kExe, {{"LUMEN_HEADLESS", "1"}, {"LUMEN_FPS", "60"},
                                           {"LUMEN_CAPTURE", dir + "/p.png"}, {"LUMEN_MOVIE", dir + "/m.gif"}},
                                    options);
        EXPECT_EQ(r.status, 0) << strsignal(sig) << ": " << r.err;
        EXPECT_EQ(r.err, "") << strsignal(sig);
        EXPECT_GE(e2e::count(r.trace, "Act "), 5) << strsignal(sig);
        EXPECT_LT(e2e::count(r.trace, "Act "), 1000) << strsignal(sig) << ": the demo ran to its end";
        EXPECT_NE(e2e::find(r.trace, "raise 0 null"), -1);
        EXPECT_EQ(e2e::count(r.trace, "Free live="), 1);
        EXPECT_TRUE(wholePng(e2e::readFile(dir + "/p.png"))) << strsignal(sig);
        EXPECT_TRUE(wholeGif(e2e::readFile(dir + "/m.gif"))) << strsignal(sig);
        fs::remove_all(dir);
    }
}

// A stop waits for no frame: at one frame in 100 s, SIGINT ends the run at once (it would be
// killed at the 10 s limit otherwise), in order, with its picture.
TEST(Ends, StopAtASlowFrameRateEndsPromptly) {
    const test_support::TempDir dir("slow-stop");
    e2e::RunOptions options;
    options.signal = SIGINT;
    options.signalAfterMs = 700;
    options.timeoutSeconds = 10;
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_HEADLESS", "1"}, {"LUMEN_FPS", "0.01"},
                                       {"LUMEN_CAPTURE", dir.path() + "/p.png"}},
                                options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(e2e::count(r.trace, "Act "), 2);  // the second frame's wait ended by the stop
    EXPECT_NE(e2e::find(r.trace, "raise 0 null"), -1);
    EXPECT_EQ(e2e::count(r.trace, "Free live="), 1);
    EXPECT_TRUE(wholePng(e2e::readFile(dir.path() + "/p.png")));
}

// `timeout` signals the run and then its whole process group: the two deliveries are one stop
// request, never a kill. Tried several times, since the two come microseconds apart.
TEST(Ends, TimeoutStopsTheRunInOrderEveryTime) {
    for (int attempt = 0; attempt < 6; ++attempt) {
        const test_support::TempDir dir("timeout");
        test_support::Command command;
        command.argv = {"timeout", "--preserve-status", "-s", "TERM", "0.4", kExe};
        command.env = test_support::childEnv(dir.path(), {{"LUMEN_HEADLESS", "1"}, {"LUMEN_FPS", "60"},
                                                          {"LUMEN_TRACE", dir.path() + "/t.txt"},
                                                          {"LUMEN_CAPTURE", dir.path() + "/p.png"}});
        command.errPath = dir.path() + "/err.txt";
        const test_support::Exit end =
            test_support::waitFor(test_support::spawn(command), std::chrono::seconds(30));
        const std::vector<std::string> trace = test_support::readLines(dir.path() + "/t.txt");
        EXPECT_EQ(end.status, 0) << "attempt " << attempt << ": " << e2e::readFile(command.errPath);
        EXPECT_EQ(e2e::readFile(command.errPath), "");
        EXPECT_EQ(e2e::count(trace, "Free live="), 1) << "attempt " << attempt;
        EXPECT_TRUE(wholePng(e2e::readFile(dir.path() + "/p.png"))) << "attempt " << attempt;
    }
}

// A run that cannot come to its next frame (its trace goes to a FIFO nobody reads) is not
// ended by the stop it cannot serve, nor by a repeat that comes with it; a later signal has the
// system's effect and ends it.
TEST(Ends, ALaterSignalStillEndsAStuckRun) {
    const test_support::TempDir dir("stuck");
    const std::string fifo = dir.path() + "/trace.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int held = ::open(fifo.c_str(), O_RDWR);  // open for reading, never read
    ASSERT_GE(held, 0);
    test_support::Command command;
    command.argv = {kExe};
    command.env = test_support::childEnv(dir.path(), {{"LUMEN_HEADLESS", "1"}, {"LUMEN_TRACE", fifo}});
    const pid_t child = test_support::spawn(command);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // the pipe's buffer is full
    ::kill(child, SIGTERM);
    ::kill(child, SIGTERM);
    const test_support::Exit early = test_support::waitFor(child, std::chrono::milliseconds(1500), {false});
    EXPECT_TRUE(early.timedOut) << "status " << early.status;
    ::kill(child, SIGTERM);
    const test_support::Exit end = test_support::waitFor(child, std::chrono::seconds(10));
    EXPECT_EQ(end.status, 128 + SIGTERM);
    ::close(held);
}

// With standard error closed, no file takes descriptor 2: the trace holds no diagnostic line.
TEST(Ends, ClosedStandardErrorIsNotTakenByAFile) {
    e2e::RunOptions options;
    options.closeStderr = true;
    const std::string dir = e2e::tempDir("closed");
    e2e::writeFile(dir + "/bad.script", "1 jump\n");
    const e2e::Run r = e2e::run(kExe, {{"LUMEN_SCRIPT", dir + "/bad.script"}}, options);
    EXPECT_EQ(r.status, 2);
    ASSERT_FALSE(r.trace.empty());
    for (const std::string& line : r.trace) EXPECT_EQ(line.find("Stackrise:"), std::string::npos) << line;
    EXPECT_EQ(e2e::readFile(dir + "/bad.script"), "1 jump\n");
    fs::remove_all(dir);
}

// A stack overflow inside Lumen ends through the top-level handling: one line, Free, status 1.
TEST(Ends, StackOverflowEndsWithOneLine) {
    const e2e::Run r = e2e::runScript(kExe, "1 move 10 10\n3 overflow\n");
    expectOneFailureLine(r, {"fault 0xC00000FD", "(Lumen.lmd+0x", "stack overflow"});
    EXPECT_NE(e2e::find(r.trace, "overflow"), -1);
    EXPECT_EQ(e2e::count(r.trace, "Free live="), 1);
}

// ---- The library -----------------------------------------------------------------------------

// The bytes of an ELF64 file that its loadable segments come from (the rest, such as debugging
// information, is never mapped); 0 if it is no such file.
std::size_t loadedBytes(const std::string& elf) {
    const auto field = [&](std::size_t at, std::size_t width) {
        uint64_t v = 0;
        for (std::size_t i = 0; i < width && at + i < elf.size(); ++i)
            v |= uint64_t{static_cast<unsigned char>(elf[at + i])} << (8 * i);
        return v;
    };
    if (elf.compare(0, 4, "\x7f" "ELF") != 0 || elf.size() < 64) return 0;
    const uint64_t table = field(0x20, 8), entry = field(0x36, 2), count = field(0x38, 2);
    uint64_t end = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const std::size_t at = table + i * entry;
        if (field(at, 4) == 1) end = std::max(end, field(at + 0x08, 8) + field(at + 0x20, 8));  // PT_LOAD
    }
    return static_cast<std::size_t>(end);
}

// A damaged (truncated) library is a failure of start-up, never an abort: cut in its header, and
// halfway through what is loaded of it.
TEST(Library, TruncatedLibraryFailsStartUp) {
    const std::string dir = e2e::tempDir("damaged");
    fs::copy_file(kExe, dir + "/stackrise");
    fs::create_directories(dir + "/Data");
    const std::string whole = e2e::readFile(kLibrary);
    const std::size_t loaded = loadedBytes(whole);
    ASSERT_GT(loaded, std::size_t{8192});
    for (const std::size_t size : {std::size_t{64}, std::size_t{4096}, loaded / 2}) {
        e2e::writeFile(dir + "/Data/Lumen.lmd", whole.substr(0, size));
        const e2e::Run r = e2e::run(dir + "/stackrise", {{"LUMEN_HEADLESS", "1"}});
        expectOneFailureLine(r, {"(3001)", dir + "/Data/Lumen.lmd"});
        EXPECT_TRUE(r.trace.empty()) << size;
    }
    fs::remove_all(dir);
}

// The library comes only from the executable's own folder: from a folder whose path is beyond
// the system's limit the program says it cannot find it and never loads the one in the
// working directory (which would run the demo and end with status 0).
TEST(Library, NeverFromTheWorkingDirectory) {
    const std::string root = e2e::tempDir("deep");
    const std::string work = root + "/work";
    fs::create_directories(work + "/Data");
    fs::copy_file(kLibrary, work + "/Data/Lumen.lmd");
    // 30 levels of 200 characters: the executable's path is past PATH_MAX.
    int dirFd = ::open(root.c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(dirFd, 0);
    const std::string level(200, 'd');
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(::mkdirat(dirFd, level.c_str(), 0700), 0);
        const int next = ::openat(dirFd, level.c_str(), O_PATH | O_DIRECTORY);
        ::close(dirFd);
        dirFd = next;
        ASSERT_GE(dirFd, 0);
    }
    const std::string program = e2e::readFile(kExe);
    const int exeFd = ::openat(dirFd, "stackrise", O_WRONLY | O_CREAT | O_CLOEXEC, 0700);
    ASSERT_GE(exeFd, 0);
    ASSERT_EQ(::write(exeFd, program.data(), program.size()), static_cast<ssize_t>(program.size()));
    ::close(exeFd);
    const int runFd = ::openat(dirFd, "stackrise", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(runFd, 0);
    const std::string errPath = root + "/stderr.txt";
    // The sanitizers' settings go along, as the harness passes them.
    std::vector<std::string> environment = {"LUMEN_HEADLESS=1"};
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* v = std::getenv(keep)) environment.push_back(std::string(keep) + "=" + v);
    }
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, 2);
        if (::chdir(work.c_str()) != 0) _exit(126);
        char* argv[] = {const_cast<char*>("stackrise"), nullptr};
        ::fexecve(runFd, argv, envp.data());
        _exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(runFd);
    ::close(dirFd);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    // A sanitizer's runtime cannot read the executable's name either, and says so ("==PID==").
    std::vector<std::string> err;
    for (const std::string& l : lines(e2e::readFile(errPath)))
        if (l.rfind("==", 0) != 0) err.push_back(l);
    ASSERT_EQ(err.size(), 1u) << e2e::readFile(errPath);
    EXPECT_NE(err[0].find("fault 0xBB9 (3001)"), std::string::npos) << err[0];
    EXPECT_NE(err[0].find("cannot load Data/Lumen.lmd ("), std::string::npos) << err[0];
    fs::remove_all(root);
}

}  // namespace
