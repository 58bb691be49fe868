// The real program in a real window: Xvfb, the SDL window backend, real X input from xdotool.
// Everything waits by polling the trace or the X server, with generous limits, so a loaded
// machine makes the tests slower, not flaky.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "pixels/letterbox.h"
#include "pixels/scale.h"
#include "support/files.h"
#include "support/process.h"
#include "support/trace.h"
#include "support/xserver.h"

namespace {

using wintest::Child;
using wintest::drawRects;
using wintest::findLine;
using wintest::find;
using wintest::lastFrame;
using wintest::Seconds;
using wintest::waitUntil;

const std::string kExe = STACKRISE_EXE;
const std::string kSource = STACKRISE_SOURCE_DIR;

std::vector<std::string> fields(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string f; in >> f;) out.push_back(f);
    return out;
}

// True while process `pid` has SDL's library mapped.
bool mapsSdl(pid_t pid) {
    return test_support::readFile("/proc/" + std::to_string(pid) + "/maps").find("libSDL2") != std::string::npos;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!wintest::haveXvfb()) GTEST_SKIP() << "Xvfb is not installed";
        server_ = std::make_unique<wintest::XServer>(screenW_, screenH_);
        ASSERT_TRUE(server_->ok()) << server_->error();
        view_ = std::make_unique<wintest::XView>(server_->display());
        ASSERT_TRUE(view_->ok());
    }

    void TearDown() override {
        if (openbox_ > 0) {
            kill(openbox_, SIGTERM);
            waitpid(openbox_, nullptr, 0);
        }
    }

    // Starts openbox, a desktop's window manager, on the test's display and waits until it
    // manages the screen: a window mapped while it starts up may never be mapped.
    void startOpenbox() {
        test_support::Command command;
        command.argv = {"/usr/bin/openbox"};
        command.env = test_support::childEnv("", {{"DISPLAY", server_->display()}});
        openbox_ = test_support::spawn(command);
        const std::string probe = "DISPLAY=" + server_->display() + " xprop -root _NET_SUPPORTING_WM_CHECK";
        ASSERT_TRUE(waitUntil([&] {
            return test_support::shellOutput(probe).find("window id") != std::string::npos;
        })) << "openbox did not start";
        // It names itself before it has taken the windows already there: let it finish.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }

    // Starts the program on the test's display and waits for its window and first frames.
    void start(std::map<std::string, std::string> env = {}, const std::vector<std::string>& args = {}) {
        env["DISPLAY"] = server_->display();
        child_ = std::make_unique<Child>(kExe, env, args);
        ASSERT_TRUE(waitUntil([&] {
            const std::string ids = server_->xdotool("search --onlyvisible --name '^Stackrise$'");
            window_ = std::strtoul(ids.c_str(), nullptr, 10);
            return window_ != 0 || child_->exited();
        })) << "no window; stderr: " << child_->err();
        ASSERT_NE(window_, 0ul) << "stderr: " << child_->err();
        ASSERT_TRUE(waitUntil([&] { return lastFrame(child_->trace()) >= 3; })) << child_->err();
    }

    // xdotool on the window: ARGS with "W" standing for the window id.
    void xdo(const std::string& args) {
        std::string command;
        for (const char c : args) command += c == 'W' ? std::to_string(window_) : std::string(1, c);
        server_->xdotool(command);
    }

    // Waits until `line` stands in the trace at or after index `from`, and its frame is whole
    // (the next Act line is there too); returns its index.
    int awaitLine(const std::string& line, int from) {
        int at = -1;
        waitUntil([&] {
            const std::vector<std::string> t = child_->trace();
            at = findLine(t, line, from);
            return at >= 0 && find(t, "Act ", at) >= 0;
        });
        return at;
    }

    // Waits until at least `n` more frames have been served.
    void awaitFrames(int64_t n) {
        const int64_t target = lastFrame(child_->trace()) + n;
        waitUntil([&] { return lastFrame(child_->trace()) >= target; });
    }

    // A left drag from (x0, y) to (x1, y) with one step between, each seen by the program.
    // Returns the index of the release's MouseX line.
    int leftDrag(int x0, int x1, int y) {
        const int from = static_cast<int>(child_->trace().size());
        xdo("mousemove --window W " + std::to_string(x0) + " " + std::to_string(y) + " mousedown 1");
        const int pressed = awaitLine("Mouse 0 -> 1", from);
        EXPECT_GE(pressed, 0) << "the press did not arrive";
        EXPECT_EQ(findLine(child_->trace(), "MouseX -> " + std::to_string(x0), pressed), pressed + 1);
        xdo("mousemove --window W " + std::to_string((x0 + x1) / 2) + " " + std::to_string(y));
        awaitFrames(3);
        xdo("mousemove --window W " + std::to_string(x1) + " " + std::to_string(y) + " mouseup 1");
        const int released = awaitLine("MouseX -> " + std::to_string(x1), pressed + 1);
        EXPECT_GE(released, 0) << "the release did not arrive";
        return released;
    }

    // Waits until nothing on the canvas has moved for 60 frames (risen towers stand).
    bool awaitStill() {
        return waitUntil([&] { return wintest::stillFor(child_->trace(), 60); }, Seconds(60));
    }

    // A path for an output of the test (the recording, the picture) in a folder of the test's
    // own, removed with it.
    std::string output(const std::string& name) const { return outputs_.path() + "/" + name; }

    int screenW_ = 1920;  // px of the X screen
    int screenH_ = 1080;
    std::unique_ptr<wintest::XServer> server_;
    std::unique_ptr<wintest::XView> view_;
    std::unique_ptr<Child> child_;
    unsigned long window_ = 0;
    pid_t openbox_ = -1;

private:
    test_support::TempDir outputs_{"window-outputs"};
};

// The last line of the file at `path` ("" if it has none).
std::string lastLineOf(const std::string& path) {
    const std::vector<std::string> lines = test_support::readLines(path);
    return lines.empty() ? "" : lines.back();
}

// The run ended in order: the last Act raised fault 0, then only memory calls while the program
// unwound, then Free, once.
void expectOrderlyEnd(const std::vector<std::string>& t) {
    const int raised = findLine(t, "raise 0 null");
    ASSERT_GT(raised, 0);
    EXPECT_EQ(t[static_cast<std::size_t>(raised) - 1], "Act " + std::to_string(lastFrame(t)));
    const int freed = find(t, "Free live=", raised);
    ASSERT_GT(freed, raised);
    for (int i = raised + 1; i < freed; ++i) {
        const std::string& l = t[static_cast<std::size_t>(i)];
        EXPECT_TRUE(l.rfind("FreeMem ", 0) == 0 || l.rfind("AllocMem ", 0) == 0) << l;
    }
    EXPECT_EQ(wintest::find(t, "Free live=", freed + 1), -1);
}

// Replays a recorded script headless; returns the run (trace read through the returned child).
std::unique_ptr<Child> replay(const std::string& script, std::map<std::string, std::string> env = {}) {
    env["LUMEN_SCRIPT"] = script;
    auto child = std::make_unique<Child>(kExe, env);
    return child;
}

// The picture (1600 x 900, 0x00RRGGBB... as read) of the recording `script` replayed headless
// into `capture`, into `pixels`; the replay must end with status 0.
void replayedPicture(const std::string& script, const std::string& capture, std::vector<uint32_t>& pixels) {
    std::unique_ptr<Child> again = replay(script, {{"LUMEN_CAPTURE", capture}});
    ASSERT_EQ(again->wait(), 0) << again->err();
    int w = 0;
    int h = 0;
    ASSERT_TRUE(wintest::readPng(capture, w, h, pixels));
    ASSERT_EQ(w, 1600);
    ASSERT_EQ(h, 900);
}

TEST_F(WindowTest, OpensTitledWithTheIconAndTheAppsClassAtOneToOneCentredOnTheScreen) {
    start();
    EXPECT_TRUE(mapsSdl(child_->pid()));  // opened by Lumen for the window
    const wintest::Geometry g = view_->geometry(window_);
    EXPECT_EQ(g.width, 1600);
    EXPECT_EQ(g.height, 900);
    EXPECT_EQ(g.x, (1920 - 1600) / 2);
    EXPECT_EQ(g.y, (1080 - 900) / 2);
    // Its class (both parts of WM_CLASS) is the desktop entry's id, which the entry's
    // StartupWMClass names.
    const std::string id = std::to_string(window_);
    EXPECT_EQ(server_->xdotool("search --onlyvisible --classname '^" STACKRISE_APP_ID_RE "$'"), id + "\n");
    EXPECT_EQ(server_->xdotool("search --onlyvisible --class '^" STACKRISE_APP_ID_RE "$'"), id + "\n");

    // The window system holds the .ico's 64 px image, exactly as the resource's picture.
    const std::vector<uint32_t> icon = view_->icon(window_);
    ASSERT_GE(icon.size(), 2u);
    ASSERT_EQ(icon[0], 64u);
    ASSERT_EQ(icon[1], 64u);
    ASSERT_EQ(icon.size(), 2u + 64 * 64);
    int w = 0;
    int h = 0;
    std::vector<uint32_t> expected;
    ASSERT_TRUE(wintest::readPng(kSource + "/resources/icon-64.png", w, h, expected));
    ASSERT_EQ(w, 64);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        // Fully transparent pixels may differ in colour; their alpha must still be 0.
        if ((expected[i] >> 24) == 0) {
            ASSERT_EQ(icon[2 + i] >> 24, 0u) << "pixel " << i;
        } else {
            ASSERT_EQ(icon[2 + i], expected[i]) << "pixel " << i;
        }
    }
    child_->signal(SIGTERM);
    EXPECT_EQ(child_->wait(), 0) << child_->err();
}

// A drag raises a tower over the dragged stretch; a right click on it, once it stands, tips it
// over: it trembles (a RndF in every frame's drawing). The recorded input replays headless to
// the same drawing, call for call.
TEST_F(WindowTest, DragRaisesATowerRightClickTipsItOverAndTheRecordReplays) {
    const std::string recordPath = output("drag.script");
    start({{"LUMEN_RECORD", recordPath}});

    const int released = leftDrag(300, 700, 800);
    ASSERT_GE(released, 0);
    std::vector<std::string> t = child_->trace();
    // The release's frame draws the new tower's random numbers: RndF, Rnd 2 5, three RndF.
    ASSERT_GE(t.size(), static_cast<std::size_t>(released) + 7);
    EXPECT_EQ(t[static_cast<std::size_t>(released) - 1], "Mouse 0 -> 0");
    EXPECT_EQ(t[static_cast<std::size_t>(released) + 1].rfind("RndF -> ", 0), 0u);
    EXPECT_EQ(t[static_cast<std::size_t>(released) + 2].rfind("Rnd 2 5 -> ", 0), 0u);
    for (int i = 3; i <= 5; ++i)
        EXPECT_EQ(t[static_cast<std::size_t>(released) + i].rfind("RndF -> ", 0), 0u);
    const int firstDraw = find(t, "DrawRect ", released);
    ASSERT_GE(firstDraw, 0);
    const std::vector<std::string> rect = fields(t[static_cast<std::size_t>(firstDraw)]);
    ASSERT_EQ(rect.size(), 9u);
    EXPECT_EQ(rect[1], "300");  // x: the drag's start
    EXPECT_EQ(rect[3], "400");  // width: the dragged stretch

    ASSERT_TRUE(awaitStill()) << "the tower never came to stand";
    const int from = static_cast<int>(child_->trace().size());
    xdo("mousemove --window W 500 880 click 3");
    const int clicked = awaitLine("Mouse 1 -> 1", from);
    ASSERT_GE(clicked, 0) << "the right click did not arrive";
    awaitFrames(30);
    t = child_->trace();
    EXPECT_EQ(t[static_cast<std::size_t>(clicked) + 1], "MouseX -> 500");
    EXPECT_EQ(t[static_cast<std::size_t>(clicked) + 2], "MouseY -> 880");
    // Every later frame: RndF -> r, then the tower drawn at 500 - 7.5 + 15 r.
    int trembles = 0;
    for (int i = find(t, "Act ", clicked); i >= 0 && i + 2 < static_cast<int>(t.size());
         i = find(t, "Act ", i + 1)) {
        const int r = find(t, "RndF -> ", i);
        const int d = find(t, "DrawRect ", i);
        const int next = find(t, "Act ", i + 1);
        if (next < 0) break;
        ASSERT_TRUE(r > i && r < d && d < next) << "frame at line " << i << " has no tremble";
        const double v = std::strtod(t[static_cast<std::size_t>(r)].c_str() + 8, nullptr);
        const double x = std::strtod(fields(t[static_cast<std::size_t>(d)])[1].c_str(), nullptr);
        EXPECT_DOUBLE_EQ(x, 300.0 - 7.5 + 15.0 * v);
        ++trembles;
    }
    EXPECT_GE(trembles, 20);

    child_->signal(SIGTERM);
    ASSERT_EQ(child_->wait(), 0) << child_->err();
    const std::vector<std::string> windowed = child_->trace();

    std::unique_ptr<Child> again = replay(recordPath);
    ASSERT_EQ(again->wait(), 0) << again->err();
    const std::vector<std::string> replayed = again->trace();
    EXPECT_EQ(lastFrame(replayed), lastFrame(windowed));
    const std::vector<std::string> a = drawRects(windowed);
    const std::vector<std::string> b = drawRects(replayed);
    EXPECT_GT(a.size(), 100u);
    EXPECT_TRUE(a == b) << a.size() << " DrawRect lines windowed, " << b.size() << " replayed";
}

// At 1:1 (a 1600 x 900 window on a 1920 x 1080 screen, no window manager to resize it) the
// window shows the canvas pixel for pixel: the same picture as the headless capture of the
// recorded input. SIGTERM then ends the run in order: status 0, Free in the trace. The window
// holds no GL context on the X server and maps no GL library: Lumen scales into the window
// surface itself.
TEST_F(WindowTest, EqualsTheHeadlessCaptureWithoutGlAndSigtermEndsInOrder) {
    const std::string recordPath = output("shot.script");
    const std::string capturePath = output("shot.png");
    // A fixed seed: with the clock's, three short towers can leave over nine tenths background.
    std::map<std::string, std::string> env = {{"LUMEN_RECORD", recordPath}, {"LUMEN_SEED", "1"}};
    start(env);
    const wintest::Geometry g = view_->geometry(window_);
    ASSERT_EQ(g.width, 1600);
    ASSERT_EQ(g.height, 900);
    const std::map<std::string, unsigned> held = view_->clientResources(window_);
    ASSERT_FALSE(held.empty()) << "no X-Resource extension";
    EXPECT_EQ(held.count("GLXContext"), 0u) << "the window goes through GL";
    const std::string maps = test_support::readFile("/proc/" + std::to_string(child_->pid()) + "/maps");
    ASSERT_NE(maps.find("libSDL2"), std::string::npos) << "not the window run";
    for (const char* gl : {"libGL.so", "libGLX", "libEGL", "libGLESv2", "dri.so", "libgallium"}) {
        EXPECT_EQ(maps.find(gl), std::string::npos) << gl << " mapped";
    }

    // Two overlapping translucent towers, and one dragged right to left.
    ASSERT_GE(leftDrag(200, 600, 500), 0);
    ASSERT_GE(leftDrag(450, 1000, 300), 0);
    ASSERT_GE(leftDrag(1500, 1150, 700), 0);
    ASSERT_TRUE(awaitStill());
    const std::vector<uint32_t> shot = view_->pixels(window_, 1600, 900);
    ASSERT_EQ(shot.size(), 1600u * 900u);

    child_->signal(SIGTERM);
    ASSERT_EQ(child_->wait(), 0) << child_->err();
    const std::vector<std::string> t = child_->trace();
    expectOrderlyEnd(t);

    std::vector<uint32_t> capture;
    ASSERT_NO_FATAL_FAILURE(replayedPicture(recordPath, capturePath, capture));
    std::size_t differing = 0;
    std::size_t first = 0;
    for (std::size_t i = 0; i < capture.size(); ++i) {
        if ((capture[i] & 0xFFFFFFu) != shot[i]) {
            if (differing++ == 0) first = i;
        }
    }
    EXPECT_EQ(differing, 0u) << "first at (" << first % 1600 << ", " << first / 1600 << "): window 0x"
                             << std::hex << shot[first] << ", capture 0x" << (capture[first] & 0xFFFFFFu);
    // The picture is not empty: the towers are in it.
    std::size_t background = 0;
    for (const uint32_t p : shot) background += p == 0x0B1328u;
    EXPECT_LT(background, shot.size() * 9 / 10);
    EXPECT_GT(background, 0u);
}

// Resized to a fractional scale while towers rise, the window, updated only where frames
// changed, shows what the whole last frame scaled to that size shows: the headless picture of
// the recorded run, scaled by the same rule.
TEST_F(WindowTest, PartialUpdatesAtAFractionalScaleEqualTheWholeFrameScaled) {
    const std::string recordPath = output("scaled.script");
    const std::string capturePath = output("scaled.png");
    start({{"LUMEN_RECORD", recordPath}, {"LUMEN_SEED", "3"}});
    ASSERT_GE(leftDrag(200, 600, 500), 0);
    ASSERT_GE(leftDrag(450, 1000, 300), 0);
    constexpr int kW = 1000, kH = 700;  // a letterbox of 1000 x 563, bars above and below
    xdo("windowsize W " + std::to_string(kW) + " " + std::to_string(kH));
    ASSERT_TRUE(waitUntil([&] {
        const wintest::Geometry g = view_->geometry(window_);
        return g.width == kW && g.height == kH;
    }));
    ASSERT_TRUE(awaitStill());
    const std::vector<uint32_t> shot = view_->pixels(window_, kW, kH);
    ASSERT_EQ(shot.size(), std::size_t{kW} * kH);
    child_->signal(SIGTERM);
    ASSERT_EQ(child_->wait(), 0) << child_->err();

    std::vector<uint32_t> capture;
    ASSERT_NO_FATAL_FAILURE(replayedPicture(recordPath, capturePath, capture));
    std::vector<uint32_t> whole(std::size_t{kW} * kH);
    for (uint32_t& p : capture) p |= 0xFF000000u;
    lumen::drawWholeWindow(capture.data(), lumen::letterbox(kW, kH), {whole.data(), kW, kH, kW});
    std::size_t differing = 0;
    for (std::size_t i = 0; i < whole.size(); ++i) differing += (whole[i] & 0xFFFFFFu) != shot[i];
    EXPECT_EQ(differing, 0u);
}

// Resized, the canvas is letterboxed and the pointer still maps to canvas px.
TEST_F(WindowTest, ResizedWindowLetterboxesAndMapsThePointerBack) {
    start();
    struct Case {
        int width, height;   // window px
        int px, py;          // pointer in the window
        const char* x;       // expected MouseX, MouseY
        const char* y;
        int barX, barY;      // a pixel in a black bar
        int inX, inY;        // a pixel of the canvas (background: no towers)
    };
    const Case cases[] = {
        {1000, 450, 100 + 150, 250, "300", "500", 50, 200, 500, 225},    // bars left and right
        {800, 900, 400, 225 + 125, "800", "250", 400, 100, 400, 450},    // bars above and below
        {800, 450, 0, 449, "0", "898", -1, -1, 10, 10},                  // half size, no bars
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        xdo("windowsize W " + std::to_string(c.width) + " " + std::to_string(c.height));
        ASSERT_TRUE(waitUntil([&] {
            const wintest::Geometry g = view_->geometry(window_);
            return g.width == c.width && g.height == c.height;
        }));
        awaitFrames(5);  // presented at the new size
        const int from = static_cast<int>(child_->trace().size());
        xdo("mousemove --window W " + std::to_string(c.px) + " " + std::to_string(c.py) + " click 3");
        const int clicked = awaitLine("Mouse 1 -> 1", from);
        ASSERT_GE(clicked, 0);
        const std::vector<std::string> t = child_->trace();
        EXPECT_EQ(t[static_cast<std::size_t>(clicked) + 1], std::string("MouseX -> ") + c.x);
        EXPECT_EQ(t[static_cast<std::size_t>(clicked) + 2], std::string("MouseY -> ") + c.y);
        const std::vector<uint32_t> shot = view_->pixels(window_, c.width, c.height);
        ASSERT_EQ(shot.size(), static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height));
        if (c.barX >= 0) {
            EXPECT_EQ(shot[static_cast<std::size_t>(c.barY * c.width + c.barX)], 0u) << "bar";
        }
        EXPECT_EQ(shot[static_cast<std::size_t>(c.inY * c.width + c.inX)], 0x0B1328u) << "canvas";
    }
    child_->signal(SIGTERM);
    EXPECT_EQ(child_->wait(), 0) << child_->err();
}

// Closing the window (the window manager's WM_DELETE_WINDOW) ends the run with status 0; the
// record ends with the quit of that frame.
TEST_F(WindowTest, CloseRequestEndsTheRunAndTheRecordSaysQuit) {
    const std::string recordPath = output("close.script");
    start({{"LUMEN_RECORD", recordPath}});
    view_->requestClose(window_);
    ASSERT_EQ(child_->wait(), 0) << child_->err();
    const std::vector<std::string> t = child_->trace();
    expectOrderlyEnd(t);
    EXPECT_EQ(test_support::readFile(recordPath).rfind("0 seed ", 0), 0u);
    EXPECT_EQ(lastLineOf(recordPath), std::to_string(lastFrame(t)) + " quit");
}

TEST_F(WindowTest, SigintEndsTheRunWithStatusZero) {
    start();
    child_->signal(SIGINT);
    ASSERT_EQ(child_->wait(), 0) << child_->err();
    const std::vector<std::string> t = child_->trace();
    expectOrderlyEnd(t);
    // A window run takes its seed from the clock and says how to replay it.
    EXPECT_NE(child_->err().find("Lumen: seed "), std::string::npos) << child_->err();
}

// SIGHUP (the terminal went away) ends a window run in order too, and SIGPIPE does not kill
// it: the recording is whole and ends with the quit of the last frame.
TEST_F(WindowTest, HangupEndsTheRunInOrderAndSigpipeIsHarmless) {
    const std::string recordPath = output("hup.script");
    start({{"LUMEN_RECORD", recordPath}});
    child_->signal(SIGPIPE);
    awaitFrames(5);
    child_->signal(SIGHUP);
    ASSERT_EQ(child_->wait(), 0) << child_->err();
    const std::vector<std::string> t = child_->trace();
    expectOrderlyEnd(t);
    EXPECT_EQ(lastLineOf(recordPath), std::to_string(lastFrame(t)) + " quit");
}

// Frames from line `from` on in which the left button went down: the town reads Mouse(0), then
// the pointer's x.
int pressFrames(const std::vector<std::string>& t, int from) {
    int n = 0;
    for (int i = findLine(t, "Mouse 0 -> 1", from); i >= 0 && i + 1 < static_cast<int>(t.size());
         i = findLine(t, "Mouse 0 -> 1", i + 1))
        n += t[static_cast<std::size_t>(i) + 1].rfind("MouseX -> ", 0) == 0;
    return n;
}

// Quick drags, each press and release within a frame or two of the last: every press reaches
// the program in a frame of its own, 30 towers rise (all slots), and the recording replays to
// the same frames.
TEST_F(WindowTest, QuickDragsAreNeverMerged) {
    const std::string recordPath = output("quick.script");
    start({{"LUMEN_RECORD", recordPath}});
    constexpr int kDrags = 40;
    std::string drags;
    for (int i = 0; i < kDrags; ++i) {
        const int x = 20 + (i % 10) * 150;
        drags += "mousemove --window W " + std::to_string(x) + " 700 mousedown 1 mousemove --window W " +
                 std::to_string(x + 120) + " 700 mouseup 1 ";
    }
    const int from = static_cast<int>(child_->trace().size());
    xdo(drags);
    ASSERT_TRUE(waitUntil([&] { return pressFrames(child_->trace(), from) >= kDrags; }, Seconds(60)))
        << "presses were lost: " << pressFrames(child_->trace(), from) << " of " << kDrags;
    awaitFrames(10);
    child_->signal(SIGTERM);
    ASSERT_EQ(child_->wait(), 0) << child_->err();
    const std::vector<std::string> windowed = child_->trace();
    EXPECT_EQ(pressFrames(windowed, from), kDrags);
    // Each raised tower draws "Rnd 2 5" once: all 30 slots were filled.
    int raised = 0;
    for (const std::string& l : windowed) raised += l.rfind("Rnd 2 5 -> ", 0) == 0;
    EXPECT_EQ(raised, 30);

    std::unique_ptr<Child> again = replay(recordPath);
    ASSERT_EQ(again->wait(), 0) << again->err();
    const std::vector<std::string> replayed = again->trace();
    EXPECT_EQ(lastFrame(replayed), lastFrame(windowed));
    EXPECT_TRUE(drawRects(windowed) == drawRects(replayed));
}

// ---- Keys -------------------------------------------------------------------------------------

// The keys' tests run on a screen taller than 16:9, so a fullscreen canvas (1920 x 1080 px at
// y = 60) has black bars above and below, with a window manager that does what the window asks.
constexpr int kTallW = 1920;
constexpr int kTallH = 1200;
constexpr int kBar = (kTallH - kTallW * 9 / 16) / 2;  // px above and below the canvas

class KeyTest : public WindowTest {
protected:
    void SetUp() override {
        screenW_ = kTallW;
        screenH_ = kTallH;
        WindowTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        manager_ = std::make_unique<wintest::WindowManager>(server_->display());
        ASSERT_TRUE(manager_->ok());
    }

    // Real key strokes (XTest, as a keyboard gives them) into the window, which takes the focus
    // first. KEYS as xdotool names them: "Escape", "F11", "alt+Return".
    void press(const std::string& keys) {
        xdo("windowfocus W");
        server_->xdotool("key " + keys);
    }

    // Waits until the window lies at (x, y) with w x h px.
    bool awaitGeometry(int x, int y, int w, int h) {
        return waitUntil([&] {
            const wintest::Geometry g = view_->geometry(window_);
            return g.x == x && g.y == y && g.width == w && g.height == h;
        });
    }

    // A right click at window point (x, y); checks that the program reads it at canvas (cx, cy).
    void expectRightClickAt(int x, int y, const std::string& cx, const std::string& cy) {
        const int from = static_cast<int>(child_->trace().size());
        xdo("mousemove --window W " + std::to_string(x) + " " + std::to_string(y) + " click 3");
        const int clicked = awaitLine("Mouse 1 -> 1", from);
        ASSERT_GE(clicked, 0) << "the click did not arrive";
        const std::vector<std::string> t = child_->trace();
        EXPECT_EQ(t[static_cast<std::size_t>(clicked) + 1], "MouseX -> " + cx);
        EXPECT_EQ(t[static_cast<std::size_t>(clicked) + 2], "MouseY -> " + cy);
    }

    // The window's pixel at (x, y) of a w x h px window, 0x00RRGGBB.
    uint32_t pixelAt(int x, int y, int w, int h) {
        const std::vector<uint32_t> shot = view_->pixels(window_, w, h);
        if (shot.size() != static_cast<std::size_t>(w) * static_cast<std::size_t>(h)) return 0xFFFFFFFFu;
        return shot[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)];
    }

    std::unique_ptr<wintest::WindowManager> manager_;
};

// The lines of a recorded script that are not its seed, its moves, presses and releases or its
// final quit: none, since keys are not the program's input.
std::vector<std::string> foreignLines(const std::string& path) {
    std::vector<std::string> out;
    for (const std::string& line : test_support::readLines(path)) {
        const std::vector<std::string> f = fields(line);
        if (f.empty() || f[0][0] == '#') continue;
        const std::string command = f.size() > 1 ? f[1] : "";
        if (command != "seed" && command != "move" && command != "press" && command != "release" && command != "quit")
            out.push_back(line);
    }
    return out;
}

// Escape ends the run as closing the window does: status 0, the last Act raises fault 0, Free,
// and the recording ends with the quit of that frame.
TEST_F(KeyTest, EscapeEndsTheRunInOrder) {
    const std::string recordPath = output("escape.script");
    start({{"LUMEN_RECORD", recordPath}});
    press("Escape");
    ASSERT_EQ(child_->wait(), 0) << child_->err();
    const std::vector<std::string> t = child_->trace();
    expectOrderlyEnd(t);
    EXPECT_EQ(lastLineOf(recordPath), std::to_string(lastFrame(t)) + " quit");
    EXPECT_TRUE(foreignLines(recordPath).empty());
}

// The key (F11 or Alt+Enter) makes the window cover the screen, the canvas letterboxed in it
// (black bars above and below) and the pointer read in canvas px; the same key gives the window
// back its size and place. Other keys do nothing, Escape ends the run; the recording holds no
// key and replays headless to the same trace.
class FullscreenTest : public KeyTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FullscreenTest, KeyTogglesFullscreenLetterboxedAndTheRecordReplays) {
    const std::string recordPath = output("full.script");
    start({{"LUMEN_RECORD", recordPath}});
    const wintest::Geometry before = view_->geometry(window_);
    ASSERT_EQ(before.width, 1600);
    ASSERT_EQ(before.height, 900);

    press(GetParam());
    ASSERT_TRUE(awaitGeometry(0, 0, kTallW, kTallH)) << "not fullscreen";
    awaitFrames(5);  // presented at the new size
    EXPECT_EQ(pixelAt(kTallW / 2, kBar / 2, kTallW, kTallH), 0u) << "bar above";
    EXPECT_EQ(pixelAt(kTallW / 2, kTallH - kBar / 2, kTallW, kTallH), 0u) << "bar below";
    EXPECT_EQ(pixelAt(kTallW / 2, kTallH / 2, kTallW, kTallH), 0x0B1328u) << "canvas";
    EXPECT_EQ(pixelAt(4, kBar + 4, kTallW, kTallH), 0x0B1328u) << "canvas, top left";
    // 1.2 screen px per canvas px, below a bar of 60.
    expectRightClickAt(960, 600, "800", "450");
    expectRightClickAt(480, kBar + 30, "400", "25");
    // A tower raised in fullscreen: a drag from canvas x 200 to 600 at height 750.
    int from = static_cast<int>(child_->trace().size());
    xdo("mousemove --window W 240 960 mousedown 1");
    const int pressed = awaitLine("Mouse 0 -> 1", from);
    ASSERT_GE(pressed, 0);
    EXPECT_EQ(child_->trace()[static_cast<std::size_t>(pressed) + 1], "MouseX -> 200");
    awaitFrames(3);
    xdo("mousemove --window W 720 960 mouseup 1");
    ASSERT_GE(awaitLine("MouseX -> 600", pressed + 1), 0) << "the release did not arrive";

    press(GetParam());
    ASSERT_TRUE(awaitGeometry(before.x, before.y, before.width, before.height)) << "not back";
    awaitFrames(5);
    EXPECT_EQ(pixelAt(1200, 100, 1600, 900), 0x0B1328u) << "canvas at 1:1";
    expectRightClickAt(1300, 400, "1300", "400");

    // Keys of no meaning to the window change nothing.
    from = static_cast<int>(child_->trace().size());
    press("a space Return ctrl+s F1");
    awaitFrames(10);
    EXPECT_TRUE(view_->geometry(window_).width == 1600 && !child_->exited());

    press("Escape");
    ASSERT_EQ(child_->wait(), 0) << child_->err();
    const std::vector<std::string> windowed = child_->trace();
    expectOrderlyEnd(windowed);
    EXPECT_EQ(lastLineOf(recordPath), std::to_string(lastFrame(windowed)) + " quit");
    const std::vector<std::string> foreign = foreignLines(recordPath);
    EXPECT_TRUE(foreign.empty()) << foreign.front();

    std::unique_ptr<Child> again = replay(recordPath);
    ASSERT_EQ(again->wait(), 0) << again->err();
    const std::vector<std::string> replayed = again->trace();
    EXPECT_EQ(lastFrame(replayed), lastFrame(windowed));
    EXPECT_GE(find(replayed, "Rnd 2 5 -> "), 0) << "the tower is in the replay";
    EXPECT_TRUE(replayed == windowed) << replayed.size() << " lines replayed, " << windowed.size() << " windowed";
}

INSTANTIATE_TEST_SUITE_P(Keys, FullscreenTest, ::testing::Values("F11", "alt+Return"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param[0] == 'F' ? "F11" : "AltEnter");
                         });

// Under a desktop's own window manager (openbox) on a 3840 x 2160 screen, F11 makes the window
// cover the screen, the canvas filling it at 2.4 screen px per canvas px (sky in every corner,
// the pointer read in canvas px), and gives the window back its size and place.
class OpenboxTest : public WindowTest {
protected:
    void SetUp() override {
        if (access("/usr/bin/openbox", X_OK) != 0) GTEST_SKIP() << "openbox is not installed";
        screenW_ = 3840;
        screenH_ = 2160;
        WindowTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        startOpenbox();
    }
};

TEST_F(OpenboxTest, F11FillsA4kScreenAndGivesTheWindowBack) {
    start();
    awaitFrames(5);
    const wintest::Geometry before = view_->geometry(window_);
    ASSERT_EQ(before.width, 1600);
    ASSERT_EQ(before.height, 900);
    auto geometryIs = [&](int x, int y, int w, int h) {
        return waitUntil([&] {
            const wintest::Geometry g = view_->geometry(window_);
            return g.x == x && g.y == y && g.width == w && g.height == h;
        }, Seconds(10));
    };
    xdo("windowactivate --sync W key F11");
    ASSERT_TRUE(geometryIs(0, 0, 3840, 2160)) << "not fullscreen";
    awaitFrames(5);
    const std::vector<uint32_t> shot = view_->pixels(window_, 3840, 2160);
    ASSERT_EQ(shot.size(), std::size_t{3840} * 2160);
    for (const std::size_t at : {std::size_t{0}, std::size_t{3839}, std::size_t{3840} * 2159, shot.size() - 1}) {
        EXPECT_EQ(shot[at], 0x0B1328u) << "sky at px " << at;
    }
    const int from = static_cast<int>(child_->trace().size());
    xdo("mousemove --window W 2400 1200 click 3");
    const int clicked = awaitLine("Mouse 1 -> 1", from);
    ASSERT_GE(clicked, 0) << "the click did not arrive";
    EXPECT_EQ(child_->trace()[static_cast<std::size_t>(clicked) + 1], "MouseX -> 1000");
    EXPECT_EQ(child_->trace()[static_cast<std::size_t>(clicked) + 2], "MouseY -> 500");
    xdo("windowactivate --sync W key F11");
    ASSERT_TRUE(geometryIs(before.x, before.y, before.width, before.height)) << "not back";
    child_->signal(SIGTERM);
    EXPECT_EQ(child_->wait(), 0) << child_->err();
    expectOrderlyEnd(child_->trace());
}

// --fullscreen opens the window fullscreen; F11 gives it the window's size and place.
TEST_F(KeyTest, FullscreenOptionOpensTheWindowFullscreen) {
    start({}, {"--fullscreen"});
    ASSERT_TRUE(awaitGeometry(0, 0, kTallW, kTallH)) << "not fullscreen";
    press("F11");
    ASSERT_TRUE(waitUntil([&] { return view_->geometry(window_).width == 1600; })) << "not back";
    press("Escape");
    ASSERT_EQ(child_->wait(), 0) << child_->err();
}

// F12 saves what the window shows as a PNG in the XDG pictures folder (user-dirs.dirs, a folder
// with a space, accents and an emoji), named by the date and time, and says where; the run goes
// on undisturbed: its recording holds no key and replays to the same trace. At the end one line
// names the recording and the command that replays it.
TEST_F(KeyTest, F12SavesThePictureInThePicturesFolderAndLeavesTheRunAsItIs) {
    const std::string home = output("maison été");
    const std::string pictures = home + "/Mes images 🖼";
    std::filesystem::create_directories(pictures);
    std::filesystem::create_directories(home + "/.config");
    test_support::writeFile(home + "/.config/user-dirs.dirs",
                            "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                            "XDG_PICTURES_DIR=\"$HOME/Mes images 🖼\"\n");
    const std::string recordPath = output("f12 record.script");
    const std::string capturePath = output("end.png");
    start({{"HOME", home}, {"LUMEN_RECORD", recordPath}, {"LUMEN_CAPTURE", capturePath}});
    leftDrag(300, 700, 500);
    ASSERT_TRUE(awaitStill());

    const std::string said = "Lumen: saved the picture ";
    for (int shot = 1; shot <= 2; ++shot) {
        press("F12");
        ASSERT_TRUE(waitUntil([&] { return test_support::count(test_support::lines(child_->err()), said) == shot; }))
            << child_->err();
    }
    std::vector<std::string> saved;
    for (const std::string& line : test_support::lines(child_->err()))
        if (line.rfind(said, 0) == 0) saved.push_back(line.substr(said.size()));
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_NE(saved[0], saved[1]);
    const std::regex name(R"(Stackrise \d{4}-\d\d-\d\d \d\d-\d\d-\d\d( \(2\))?\.png)");
    for (const std::string& path : saved) {
        EXPECT_EQ(path.rfind(pictures + "/", 0), 0u) << path;
        EXPECT_TRUE(std::regex_match(path.substr(pictures.size() + 1), name)) << path;
    }
    press("Escape");
    ASSERT_EQ(child_->wait(), 0) << child_->err();

    // The picture is the canvas, the same as the run's last frame (nothing moved since).
    int w = 0;
    int h = 0;
    std::vector<uint32_t> shot;
    ASSERT_TRUE(wintest::readPng(saved[0], w, h, shot));
    EXPECT_EQ(w, 1600);
    EXPECT_EQ(h, 900);
    std::vector<uint32_t> end;
    ASSERT_TRUE(wintest::readPng(capturePath, w, h, end));
    EXPECT_TRUE(shot == end) << "the picture of F12 is not the canvas";
    EXPECT_NE(std::count(shot.begin(), shot.end(), shot[0]), static_cast<long>(shot.size())) << "a tower is in it";

    const std::vector<std::string> err = test_support::lines(child_->err());
    ASSERT_GE(err.size(), 4u) << child_->err();
    EXPECT_EQ(err[0].rfind("Stackrise: drag with the left button", 0), 0u) << err[0];
    EXPECT_EQ(err.back(), "Lumen: the run is recorded in " + recordPath + "; stackrise --replay '" + recordPath +
                              "' plays it again");
    const std::vector<std::string> windowed = child_->trace();
    EXPECT_TRUE(foreignLines(recordPath).empty());
    std::unique_ptr<Child> again = replay(recordPath);
    ASSERT_EQ(again->wait(), 0) << again->err();
    EXPECT_TRUE(again->trace() == windowed) << "the replay differs from the run";
}

// With a display there, LUMEN_HEADLESS=1 still runs headless: no window, no fallback line.
TEST_F(WindowTest, HeadlessWhenAskedEvenWithADisplay) {
    Child c(kExe, {{"DISPLAY", server_->display()}, {"LUMEN_HEADLESS", "1"}, {"LUMEN_FPS", "400"}});
    bool sawWindow = false;
    int looks = 0;  // looks at the running process's maps: SDL is loaded only for a window
    bool sawSdl = false;
    waitUntil([&] {
        sawWindow = sawWindow || !server_->xdotool("search --name '^Stackrise$'").empty();
        if (lastFrame(c.trace()) >= 1 && !c.exited()) {
            const bool mapped = mapsSdl(c.pid());
            if (!c.exited()) {
                ++looks;
                sawSdl = sawSdl || mapped;
            }
        }
        return c.exited() || lastFrame(c.trace()) >= 1200;
    });
    EXPECT_EQ(c.wait(), 0) << c.err();
    EXPECT_FALSE(sawWindow);
    EXPECT_GT(looks, 0);
    EXPECT_FALSE(sawSdl);
    EXPECT_EQ(c.err(), "");
    EXPECT_EQ(lastFrame(c.trace()), 1200);  // the built-in demo
}

// No display: one line on stderr, then the built-in demo headless, ending in order.
TEST(WindowFallback, WithoutADisplayPlaysTheDemoHeadless) {
    const std::map<std::string, std::string> envs[] = {
        {},                        // no DISPLAY at all
        {{"DISPLAY", ":4095"}},    // a display nobody serves
    };
    for (const auto& env : envs) {
        SCOPED_TRACE(env.empty() ? "no DISPLAY" : "DISPLAY=:4095");
        Child c(kExe, env);
        ASSERT_EQ(c.wait(), 0) << c.err();
        EXPECT_EQ(c.err(), "Lumen: no display; running headless, playing the built-in demo\n");
        const std::vector<std::string> t = c.trace();
        EXPECT_EQ(lastFrame(t), 1200);
        EXPECT_GE(find(t, "Free live="), 0);
    }
}

// ---- The display going away ------------------------------------------------------------------

// The program's window under a desktop's window manager (openbox, where it is installed; else
// the tests' own), with every output, and the world taking the window or the display away.
class DisplayLossTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (access("/usr/bin/openbox", X_OK) == 0) {
            startOpenbox();
        } else {
            manager_ = std::make_unique<wintest::WindowManager>(server_->display());
        }
    }
    void TearDown() override {
        manager_.reset();
        WindowTest::TearDown();
    }

    void startWithOutputs() {
        start({{"LUMEN_RECORD", output("r.script")}, {"LUMEN_CAPTURE", output("p.png")},
               {"LUMEN_MOVIE", output("m.gif")}});
        awaitFrames(5);
    }

    // The picture and the movie whole, and the recording ending with the quit of the last frame.
    void expectOutputsWhole(const std::vector<std::string>& t) {
        int w = 0;
        int h = 0;
        std::vector<uint32_t> pixels;
        EXPECT_TRUE(wintest::readPng(output("p.png"), w, h, pixels));
        EXPECT_EQ(w, 1600);
        const std::string movie = test_support::readFile(output("m.gif"));
        EXPECT_EQ(movie.rfind("GIF89a", 0), 0u);
        EXPECT_TRUE(!movie.empty() && movie.back() == ';');
        EXPECT_EQ(lastLineOf(output("r.script")), std::to_string(lastFrame(t)) + " quit");
    }

    // The run ended as closing the window does: status 0, nothing said, in order, every output.
    void expectEndedAsClosed() {
        ASSERT_EQ(child_->wait(), 0) << child_->err();
        EXPECT_EQ(errBesidesSeed(), "");
        const std::vector<std::string> t = child_->trace();
        expectOrderlyEnd(t);
        expectOutputsWhole(t);
    }

    // Standard error without a window run's informational lines: how to play, the seed, where
    // the recording went.
    std::string errBesidesSeed() const {
        std::string err;
        for (const std::string& line : test_support::lines(child_->err())) {
            if (line.rfind("Stackrise: drag with the left button", 0) == 0 || line.rfind("Lumen: seed ", 0) == 0 ||
                line.rfind("Lumen: the run is recorded in ", 0) == 0)
                continue;
            err += line + "\n";
        }
        return err;
    }

    std::unique_ptr<wintest::WindowManager> manager_;
};

// The X server ends under the run (the session ended, the server crashed): the run ends with
// one line of its own fault, 1008, every output whole, Free once; the X library says nothing.
TEST_F(DisplayLossTest, TheServerGoingAwayEndsTheRunWithItsFaultAndEveryOutput) {
    startWithOutputs();
    const std::string display = server_->display();
    view_.reset();  // the test's own connection goes with the server
    server_->stop();
    ASSERT_EQ(child_->wait(), 1) << child_->err();
    const std::string err = errBesidesSeed();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.rfind("Stackrise: fault 0x3F0 (1008) at ", 0), 0u) << err;
    EXPECT_NE(err.find(": Lumen: lost the display " + display + ": the X server went away\n"), std::string::npos) << err;
    const std::vector<std::string> t = child_->trace();
    const int raised = findLine(t, "raise 1008 \"Lumen: lost the display " + display + ": the X server went away\"");
    ASSERT_GT(raised, 0);
    EXPECT_EQ(t[static_cast<std::size_t>(raised) - 1], "Act " + std::to_string(lastFrame(t)));
    EXPECT_GT(find(t, "Free live=", raised), raised);
    EXPECT_EQ(wintest::find(t, "Free live=", find(t, "Free live=", raised) + 1), -1);
    expectOutputsWhole(t);
}

// Another client kills the window's connection (xdotool windowkill, as xkill does): the run
// ends as closing the window does, status 0, nothing said.
TEST_F(DisplayLossTest, AWindowKilledByAnotherClientEndsAsClosingIt) {
    startWithOutputs();
    xdo("windowkill W");
    expectEndedAsClosed();
}

// Another client destroys the window (XDestroyWindow): the same orderly end.
TEST_F(DisplayLossTest, AWindowDestroyedByAnotherClientEndsAsClosingIt) {
    startWithOutputs();
    view_->destroyWindow(window_);
    expectEndedAsClosed();
}

// A display that takes the connection but never answers (its server stopped) is given up
// after a bounded wait: the run says so and plays headless, in order.
TEST_F(DisplayLossTest, ADisplayThatDoesNotAnswerIsGivenUpForHeadless) {
    ASSERT_EQ(kill(server_->pid(), SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{server_->pid()};
    Child c(kExe, {{"DISPLAY", server_->display()}, {"LUMEN_CAPTURE", output("p.png")}});
    ASSERT_EQ(c.wait(Seconds(120)), 0) << c.err();
    EXPECT_EQ(c.err(), "Lumen: the display " + server_->display() + " does not answer (waited 5 s)\n"
                       "Lumen: no display; running headless, playing the built-in demo\n");
    EXPECT_EQ(lastFrame(c.trace()), 1200);
    int w = 0;
    int h = 0;
    std::vector<uint32_t> pixels;
    EXPECT_TRUE(wintest::readPng(output("p.png"), w, h, pixels));
}

}  // namespace
