// Outputs are replaced whole or not at all; the input queue loses no button change.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "run/input.h"
#include "lumen/utf.h"
#include "os/temp_name.h"
#include "outputs/output_file.h"
#include "support/files.h"

namespace {

namespace fs = std::filesystem;
constexpr auto& readAll = test_support::readFile;

// Each test's own folder, removed with what it holds when the test ends.
class OutputFile : public testing::Test {
protected:
    const std::string& dir() const { return temp_.path(); }
    std::size_t files() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir()), fs::directory_iterator()));
    }

private:
    test_support::TempDir temp_{"lumen-output"};
};

TEST_F(OutputFile, NothingAtThePathChangesUntilCommitAndDiscardLeavesNoTrace) {
    const std::string path = dir() + "/out.txt";
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fputs("before", f);
        std::fclose(f);
    }
    lumen::OutputFile out;
    ASSERT_TRUE(out.open(path, "test"));
    EXPECT_FALSE(out.streaming());
    EXPECT_NE(out.writingPath(), path);
    ASSERT_TRUE(out.line("after"));
    EXPECT_EQ(readAll(path), "before");
    EXPECT_EQ(files(), 2u);
    out.discard();
    EXPECT_EQ(readAll(path), "before");
    EXPECT_EQ(files(), 1u);

    ASSERT_TRUE(out.open(path, "test"));
    ASSERT_TRUE(out.line("after"));
    ASSERT_TRUE(out.commit()) << out.error();
    EXPECT_EQ(readAll(path), "after\n");
    EXPECT_EQ(files(), 1u);
}

// A failure noted by a writer (a library that writes to stream()) removes the temporary and
// leaves the path alone; the message names the output and the path.
TEST_F(OutputFile, AFailureKeepsThePathAsItWas) {
    const std::string path = dir() + "/p.png";
    lumen::OutputFile out;
    ASSERT_TRUE(out.open(path, "picture"));
    out.write("half");
    out.fail("No space left on device");
    out.fail("a later reason");  // the first one stands
    EXPECT_FALSE(out.commit());
    EXPECT_EQ(out.error(), "cannot write picture " + path + ": No space left on device");
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(files(), 0u);
}

// A link is followed: the file it points to is replaced and the link stays a link.
TEST_F(OutputFile, ReplacesTheTargetOfALink) {
    fs::create_directories(dir() + "/real");
    std::FILE* f = std::fopen((dir() + "/real/t.txt").c_str(), "wb");
    std::fclose(f);
    fs::create_symlink(dir() + "/real/t.txt", dir() + "/link.txt");
    lumen::OutputFile out;
    ASSERT_TRUE(out.open(dir() + "/link.txt", "trace"));
    out.line("x");
    ASSERT_TRUE(out.commit()) << out.error();
    EXPECT_TRUE(fs::is_symlink(dir() + "/link.txt"));
    EXPECT_EQ(readAll(dir() + "/real/t.txt"), "x\n");
}

// The trace after Free: committed so far, then written on in place.
TEST_F(OutputFile, CommitAndContinueAppendsInPlace) {
    const std::string path = dir() + "/trace";
    lumen::OutputFile out;
    ASSERT_TRUE(out.open(path, "trace"));
    out.line("Free live=1");
    ASSERT_TRUE(out.commitAndContinue()) << out.error();
    EXPECT_EQ(readAll(path), "Free live=1\n");
    out.line("FreeMem #2");
    EXPECT_EQ(readAll(path), "Free live=1\nFreeMem #2\n");
    ASSERT_TRUE(out.commit());
    EXPECT_EQ(files(), 1u);
}

TEST_F(OutputFile, FoldersAndMissingFoldersAreRefusedDevicesAreStreams) {
    lumen::OutputFile out;
    EXPECT_FALSE(out.open("/tmp", "picture"));
    EXPECT_EQ(out.error(), "cannot write picture /tmp: it is a folder");
    EXPECT_FALSE(out.open("/nonexistent-dir/x", "movie"));
    EXPECT_EQ(out.error(), "cannot write movie /nonexistent-dir/x: cannot create a file in folder /nonexistent-dir: No such file or directory");
    ASSERT_TRUE(out.open("/dev/null", "trace"));
    EXPECT_TRUE(out.streaming());
    EXPECT_TRUE(out.line("x"));
    EXPECT_TRUE(out.commit());
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

// A replaced file keeps its mode; a new one takes the umask's.
TEST_F(OutputFile, AReplacedFileKeepsItsModeANewOneTakesTheUmasks) {
    const std::string kept = dir() + "/private.txt", made = dir() + "/new.txt";
    test_support::writeFile(kept, "before");
    ASSERT_EQ(::chmod(kept.c_str(), 0604), 0);
    const mode_t umask = ::umask(022);
    for (const std::string& path : {kept, made}) {
        lumen::OutputFile out;
        ASSERT_TRUE(out.open(path, "trace")) << out.error();
        out.line("after");
        ASSERT_TRUE(out.commit()) << out.error();
    }
    ::umask(umask);
    struct stat st {};
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    ASSERT_EQ(::stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(readAll(kept), "after\n");
}

// A dangling link makes its target (through a relative link in another folder); a loop is
// refused when opened.
TEST_F(OutputFile, ADanglingLinkMakesItsTargetALoopIsRefused) {
    fs::create_directories(dir() + "/real");
    fs::create_directories(dir() + "/links");
    fs::create_symlink("../real/t.txt", dir() + "/links/t.txt");
    fs::create_symlink("links/t.txt", dir() + "/top.txt");
    lumen::OutputFile out;
    ASSERT_TRUE(out.open(dir() + "/top.txt", "trace")) << out.error();
    out.line("x");
    ASSERT_TRUE(out.commit()) << out.error();
    EXPECT_TRUE(fs::is_symlink(dir() + "/top.txt"));
    EXPECT_TRUE(fs::is_symlink(dir() + "/links/t.txt"));
    EXPECT_EQ(readAll(dir() + "/real/t.txt"), "x\n");

    fs::create_symlink("loop", dir() + "/loop");
    EXPECT_FALSE(out.open(dir() + "/loop", "picture"));
    EXPECT_EQ(out.error(), "cannot write picture " + dir() + "/loop: Too many levels of symbolic links");
}

// A complete output whose rename is refused is kept under a name no run takes for a stale
// temporary, and the message names it.
TEST_F(OutputFile, ACompleteOutputRefusedItsPlaceIsKept) {
    const std::string path = dir() + "/p.png";
    lumen::OutputFile out;
    ASSERT_TRUE(out.open(path, "picture"));
    out.write("whole");
    fs::create_directories(path + "/in-the-way");
    EXPECT_FALSE(out.commit());
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir())) names.push_back(e.path().filename().string());
    ASSERT_EQ(names.size(), 2u);
    const std::string keptName = names[0] == "p.png" ? names[1] : names[0];
    EXPECT_EQ(out.error(), "cannot write picture " + path + ": Is a directory; the whole picture is kept in " + dir() + "/" + keptName);
    EXPECT_EQ(keptName.rfind("p.png.", 0), 0u) << keptName;
    EXPECT_EQ(keptName.substr(keptName.size() - 5), ".kept");
    EXPECT_EQ(readAll(dir() + "/" + keptName), "whole");
}

// ---- Temporaries' names --------------------------------------------------------------------

TEST(TempName, FitsBesideAnyNameAndIsKnownAgain) {
    using lumen::os::isTempOf;
    using lumen::os::tempName;
    EXPECT_EQ(tempName("shot.png", 123, 45), ".shot.png.123-45.tmp");
    uint64_t pid = 0;
    EXPECT_TRUE(isTempOf(".shot.png.123-45.tmp", "shot.png", pid));
    EXPECT_EQ(pid, 123u);
    EXPECT_FALSE(isTempOf(".shot.png.123-45.tmp", "shot.pn", pid));
    EXPECT_FALSE(isTempOf(".shot.png.123-45.tmp", "other.png", pid));
    EXPECT_FALSE(isTempOf(".shot.png.12a-45.tmp", "shot.png", pid));
    EXPECT_FALSE(isTempOf(".shot.png.123-.tmp", "shot.png", pid));
    EXPECT_FALSE(isTempOf("shot.png.123-45.tmp", "shot.png", pid));
    EXPECT_FALSE(isTempOf("shot.png.123-45.kept", "shot.png", pid));
    // Names up to the limit: the temporary is cut to 255 bytes, never inside a character.
    std::string accented;
    for (int i = 0; i < 126; ++i) accented += "\xC3\xA9";
    for (const std::string& name : {std::string(255, 'n'), std::string(250, 'n'), accented}) {
        const std::string temp = tempName(name, 4194304, 1000000006);
        EXPECT_LE(temp.size(), lumen::os::kMaxNameBytes);
        EXPECT_GE(temp.size() + 3, lumen::os::kMaxNameBytes);
        std::size_t length = 0;
        for (std::size_t at = 0; at < temp.size(); at += length)
            ASSERT_GE(lumen::decodeUtf8(temp, at, length), 0) << "cut inside a character at " << at;
        EXPECT_TRUE(isTempOf(temp, name, pid)) << temp;
        EXPECT_EQ(pid, 4194304u);
        EXPECT_EQ(lumen::os::keptName(temp).size(), temp.size());
    }
    EXPECT_EQ(lumen::os::keptName(".shot.png.123-45.tmp"), "shot.png.123-45.kept");
}

// ---- InputQueue ----------------------------------------------------------------------------

struct Frame {
    bool left, right;
    double x;
};

std::vector<Frame> frames(lumen::InputQueue& q, int n) {
    std::vector<Frame> out;
    lumen::InputState s;
    for (int i = 0; i < n; ++i) {
        q.take(s);
        out.push_back({s.down[0], s.down[1], s.x});
    }
    return out;
}

TEST(InputQueue, EachChangeOfAButtonTakesAFrameOfItsOwn) {
    lumen::InputQueue q;
    // Two whole clicks and a press between two frames, with the pointer moving on.
    q.button(0, true, 10, 0);
    q.button(0, false, 20, 0);
    q.button(0, true, 30, 0);
    q.button(0, false, 40, 0);
    q.button(0, true, 50, 0);
    q.pointer(60, 0);
    const std::vector<Frame> f = frames(q, 7);
    const bool left[] = {true, false, true, false, true, true, true};
    const double x[] = {10, 20, 30, 40, 60, 60, 60};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(f[i].left, left[i]) << i;
        EXPECT_EQ(f[i].x, x[i]) << i;  // where the change happened while more wait, then now
    }
}

TEST(InputQueue, ButtonsChangeTogetherButNeverOutOfOrder) {
    lumen::InputQueue q;
    q.button(0, true, 1, 0);
    q.button(1, true, 2, 0);
    q.button(0, false, 3, 0);  // waits for the next frame, and so does all that follows
    q.button(1, false, 4, 0);
    q.button(1, false, 5, 0);  // a release of a button that is up changes nothing
    const std::vector<Frame> f = frames(q, 3);
    EXPECT_TRUE(f[0].left && f[0].right);
    EXPECT_TRUE(!f[1].left && !f[1].right);
    EXPECT_TRUE(!f[2].left && !f[2].right);
    EXPECT_EQ(f[1].x, 5);
}

}  // namespace
