// The frame loop: the two mouse gestures, the order of calls in a frame, allocation, faults.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <csignal>

#include "support/fp_mode.h"
#include "support/stand_in.h"
#include "town/main_routine.h"
#include "town_checks.h"

namespace {

using standin::Input;
using standin::StandIn;
using town::Gestures;
using town::Tower;
using town::Town;
using town_test::slot;

struct Frames {
    StandIn s;
    rt::Ref<Town> town;
    Gestures g;

    Frames() {
        town = rt::make<Town>();
        town->init();
    }
    void run(int64_t n) {
        for (int64_t i = 0; i < n; ++i) town::runFrame(*town, g);
    }
    int64_t live() {
        int64_t n = 0;
        for (int64_t i = 0; i < 30; ++i) n += slot(*town, i).live;
        return n;
    }
    // One live tower, in slot 0, at x (canvas px) of `width`.
    void expectOneTower(double x, double width) {
        ASSERT_EQ(live(), 1);
        EXPECT_EQ(slot(*town, 0).x, x);
        EXPECT_EQ(slot(*town, 0).width, width);
    }
};

Input left(int64_t v, double x) { return Input{v, 0, x, 0.0}; }

// ---- the left drag ----

TEST(LeftDrag, RightwardAndLeftwardGiveTheSameStretch) {
    for (bool rightward : {true, false}) {
        Frames f;
        const double from = rightward ? 300.0 : 500.0;
        const double to = rightward ? 500.0 : 300.0;
        f.s.frames = {left(1, from), left(2, 420.0), left(2, 380.0), left(0, to)};
        f.run(3);
        EXPECT_EQ(f.live(), 0);
        EXPECT_TRUE(f.g.dragging);
        EXPECT_EQ(f.g.dragStartX, from);
        f.run(1);
        EXPECT_FALSE(f.g.dragging);
        EXPECT_EQ(f.g.dragEndX, to);
        EXPECT_EQ(f.g.dragWidth, to - from);
        ASSERT_NO_FATAL_FAILURE(f.expectOneTower(300.0, 200.0));
    }
}

TEST(LeftDrag, NoMovementRaisesAMinimumWidthTowerAtThePointer) {
    Frames f;
    f.s.frames = {left(1, 400.0), left(0, 400.0)};
    f.run(2);
    EXPECT_EQ(f.g.dragWidth, 0.0);
    ASSERT_NO_FATAL_FAILURE(f.expectOneTower(400.0, 100.0));
    EXPECT_FALSE(std::signbit(slot(*f.town, 0).width));
}

TEST(LeftDrag, OneFrameDragActsOnTheFirstUpFrameOnly) {
    Frames f;
    f.s.frames = {left(1, 100.0), left(0, 250.0), left(0, 600.0), left(0, 700.0)};
    f.run(4);
    ASSERT_NO_FATAL_FAILURE(f.expectOneTower(100.0, 150.0));
    EXPECT_EQ(f.s.count("Rnd 2 5"), 1);
    // Frame 2 raised, drew and moved the tower one step already.
    const auto drawn = f.s.rectsInFrame(2);
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_EQ(drawn[0].y, 910.0 - slot(*f.town, 0).riseStep);
}

TEST(LeftDrag, HeldButtonDoesNothingUntilReleased) {
    Frames f;
    f.s.frames.push_back(left(1, 200.0));
    for (int i = 2; i < 40; ++i) f.s.frames.push_back(left(i, 50.0 + 10.0 * i));
    f.s.frames.push_back(left(0, 900.0));
    f.run(39);
    EXPECT_EQ(f.live(), 0);
    EXPECT_EQ(f.s.count("Rnd 2 5"), 0);
    EXPECT_EQ(f.s.count("MouseX"), 1);  // only the press reads the pointer
    f.run(1);
    ASSERT_NO_FATAL_FAILURE(f.expectOneTower(200.0, 700.0));
}

TEST(LeftDrag, SecondPressDuringADragRestartsIt) {
    Frames f;
    f.s.frames = {left(1, 100.0), left(2, 150.0), left(1, 250.0), left(2, 300.0), left(0, 400.0)};
    f.run(4);
    EXPECT_EQ(f.live(), 0);
    EXPECT_EQ(f.g.dragStartX, 250.0);
    f.run(1);
    ASSERT_NO_FATAL_FAILURE(f.expectOneTower(250.0, 150.0));
}

TEST(LeftDrag, TheReleaseStepAsksTheButtonAfresh) {
    // The second Mouse(0) of a frame decides the release on its own: 1 then 0 in one frame
    // is a press and a release at the same x.
    Frames f;
    Input in = left(1, 640.0);
    in.leftAgain = 0;
    f.s.frames = {in};
    f.run(1);
    EXPECT_EQ(f.s.callsInFrame(1)[0], "Mouse 0");
    EXPECT_EQ(f.s.callsInFrame(1)[1], "MouseX");
    EXPECT_EQ(f.s.callsInFrame(1)[2], "Mouse 0");
    ASSERT_NO_FATAL_FAILURE(f.expectOneTower(640.0, 100.0));
}

TEST(LeftDrag, MouseCallsPerFrame) {
    Frames f;
    f.s.frames = {Input{}, left(1, 10.0), left(2, 20.0), left(0, 30.0), Input{}};
    f.run(5);
    using V = std::vector<std::string>;
    EXPECT_EQ(f.s.callsInFrame(1), (V{"Mouse 0", "Mouse 1"}));
    EXPECT_EQ(f.s.callsInFrame(2), (V{"Mouse 0", "MouseX", "Mouse 0", "Mouse 1"}));
    EXPECT_EQ(f.s.callsInFrame(3), (V{"Mouse 0", "Mouse 0", "Mouse 1"}));
    EXPECT_EQ(f.s.callsInFrame(4), (V{"Mouse 0", "Mouse 0", "MouseX", "RndF", "Rnd 2 5", "RndF",
                                      "RndF", "RndF", "Mouse 1", "DrawRect"}));
    EXPECT_EQ(f.s.callsInFrame(5), (V{"Mouse 0", "Mouse 1", "DrawRect"}));
    EXPECT_EQ(f.s.count("Act"), 5);
}

// ---- the right press ----

TEST(RightPress, OnlyTheFrameTheButtonWentDown) {
    Frames f;
    Tower& t = slot(*f.town, 0);
    t.x = 100.0, t.y = 817.0, t.width = 200.0, t.height = 150.0, t.live = true;
    t.state = town::Standing;
    f.s.frames = {Input{0, 1, 50.0, 900.0}, Input{0, 2, 150.0, 900.0}, Input{0, 5, 150.0, 900.0},
                  Input{0, 0, 150.0, 900.0}, Input{0, 1, 150.0, 900.0}};
    f.run(4);
    EXPECT_EQ(t.state, town::Standing);
    EXPECT_EQ(f.s.count("MouseY"), 1);
    EXPECT_EQ(f.s.callsInFrame(1), (std::vector<std::string>{"Mouse 0", "Mouse 1", "MouseX",
                                                             "MouseY", "DrawRect"}));
    f.run(1);
    EXPECT_EQ(t.state, town::Collapsing);
    EXPECT_EQ(t.timer, 1);  // the update of the same frame is its first falling frame
    EXPECT_EQ(t.y, 817.0);
}

TEST(RightPress, ReleaseAndPressInOneFrame_RaiseFirstBothBeforeUpdateAndDraw) {
    Frames f;
    Tower& standing = slot(*f.town, 0);
    standing.x = 100.0, standing.y = 817.0, standing.width = 200.0, standing.height = 150.0;
    standing.riseStep = 1.0, standing.fallAccel = 0.25;
    standing.live = true;
    standing.state = town::Standing;
    // The drag covers the click point too: the new tower is still Rising1 when clicked.
    f.s.frames = {left(1, 120.0), Input{0, 1, 200.0, 900.0}};
    f.s.rndF = {0.5, 0.1, 0.2, 0.3, 0.75};
    f.s.rnd = {3};
    f.run(2);
    EXPECT_EQ(f.s.callsInFrame(2),
              (std::vector<std::string>{"Mouse 0", "Mouse 0", "MouseX", "RndF", "Rnd 2 5", "RndF",
                                        "RndF", "RndF", "Mouse 1", "MouseX", "MouseY", "RndF",
                                        "DrawRect", "DrawRect"}));
    EXPECT_EQ(standing.state, town::Collapsing);
    EXPECT_EQ(standing.timer, 1);
    Tower& raised = slot(*f.town, 1);
    EXPECT_EQ(raised.state, town::Rising1);
    EXPECT_EQ(raised.timer, 1);
    EXPECT_EQ(raised.width, 100.0);   // the 80 px drag is widened to the minimum
    EXPECT_EQ(raised.height, 150.0);  // 100 * 0.5 * 3
    const auto drawn = f.s.rectsInFrame(2);
    ASSERT_EQ(drawn.size(), 2u);
    EXPECT_EQ(drawn[0].x, (100.0 - 7.5) + 15.0 * 0.75);
    EXPECT_EQ(drawn[1].x, 120.0);
    EXPECT_EQ(drawn[1].y, 909.0);
    EXPECT_EQ(drawn[1].r, 0.1);
}

TEST(Frame, UpdateAndDrawRunEveryFrameEvenWhenIdle) {
    Frames f;
    Tower& t = slot(*f.town, 2);
    t.x = 10.0, t.y = 700.0, t.width = 100.0, t.height = 150.0, t.riseStep = 1.0;
    t.live = true;
    f.run(10);
    EXPECT_EQ(t.timer, 10);
    EXPECT_EQ(t.y, 690.0);
    EXPECT_EQ(f.s.rects.size(), 10u);
    EXPECT_EQ(f.s.rects.back().frame, 10);
}

// ---- the main routine ----

TEST(MainRoutine, AllocatesOnlyBeforeTheFirstFrameAndFreesEverythingOnAFault) {
    StandIn s;
    // Raise three towers, collapse the first once it stands, run until its slot is free again
    // and raise a fourth into it.
    for (int i = 0; i < 3; ++i) {
        s.frames.push_back(left(1, 100.0 + 300.0 * i));
        s.frames.push_back(left(0, 250.0 + 300.0 * i));
    }
    while (s.frames.size() < 200) s.frames.push_back(Input{});
    s.frames.push_back(Input{0, 1, 150.0, 905.0});
    while (s.frames.size() < 810) s.frames.push_back(Input{});
    s.frames.push_back(left(1, 1000.0));
    s.frames.push_back(left(0, 1100.0));
    s.endAfter = 815;
    s.rndF.assign(200, 0.5);
    s.rnd.assign(10, 3);
    try {
        town::mainRoutine();
        FAIL() << "the main routine returned";
    } catch (const lumen::Fault& fault) {
        EXPECT_EQ(fault.code, lumen::kEndOfRun);
    }
    EXPECT_EQ(s.allocsAtFirstAct, 62);
    EXPECT_EQ(s.allocs, 62);
    EXPECT_TRUE(s.live.empty());
    EXPECT_EQ(s.badFrees, 0);
    EXPECT_EQ(s.count("Act"), 816);

    // The collapsed tower trembled from frame 201 and was last drawn in frame 801.
    auto at = [&](int64_t frame, double x) {
        int n = 0;
        for (const auto& r : s.rectsInFrame(frame)) n += (r.w == 150.0 && r.x > x - 8 && r.x < x + 8);
        return n;
    };
    EXPECT_EQ(at(200, 100.0), 1);
    EXPECT_EQ(at(801, 100.0), 1);
    EXPECT_EQ(at(802, 100.0), 0);
    // The fourth tower went into slot 0: it is painted first.
    const auto last = s.rectsInFrame(815);
    ASSERT_EQ(last.size(), 3u);
    EXPECT_EQ(last[0].x, 1000.0);
    EXPECT_EQ(last[1].x, 400.0);
}

TEST(MainRoutine, FaultInsideAFrameFreesEverything) {
    StandIn s;
    s.frames = {left(1, 100.0), left(0, 300.0)};
    int draws = 0;
    s.onCall = [&](const std::string& c) {
        if (c == "RndF" && ++draws == 2) throw lumen::Fault{1005, 0, 0};
    };
    try {
        town::mainRoutine();
        FAIL() << "the main routine returned";
    } catch (const lumen::Fault& fault) {
        EXPECT_EQ(fault.code, 1005u);
    }
    EXPECT_EQ(s.frame, 2);
    EXPECT_TRUE(s.live.empty());
    EXPECT_EQ(s.badFrees, 0);
}

// A processor fault (SIGFPE) becomes a lumen::Fault, as the program's handler makes it.
void onFloatingPointTrap(int) { throw lumen::Fault{lumen::kFloatInvalid, 0, 0}; }

TEST(MainRoutine, RunsUnderTheProgramsFloatingPointMode) {
    // MXCSR 0x7F00: rounding toward zero, invalid operation unmasked. A busy run through
    // raising, standing, collapsing and freeing must not trap.
    StandIn s;
    for (int i = 0; i < 30; ++i) {
        s.frames.push_back(left(1, 40.0 * i + 0.3));
        s.frames.push_back(left(0, 40.0 * i + 133.7));
    }
    while (s.frames.size() < 300) s.frames.push_back(Input{});
    for (int i = 0; i < 30; ++i) s.frames.push_back(Input{0, 1, 40.0 * i + 20.1, 905.5});
    s.endAfter = 1000;
    for (int i = 0; i < 400; ++i) s.rndF.push_back((i % 97) / 97.0);
    for (int i = 0; i < 40; ++i) s.rnd.push_back(2 + i % 4);

    struct sigaction action = {}, saved = {};
    action.sa_handler = &onFloatingPointTrap;
    action.sa_flags = SA_NODEFER;
    sigaction(SIGFPE, &action, &saved);
    uint32_t code = 0xFFFFFFFFu;
    test_support::underMxcsr(test_support::kProgramMxcsr, [&] {
        try {
            town::mainRoutine();
        } catch (const lumen::Fault& fault) {
            code = fault.code;
        }
    });
    sigaction(SIGFPE, &saved, nullptr);

    EXPECT_EQ(code, lumen::kEndOfRun);
    EXPECT_TRUE(s.live.empty());
    EXPECT_EQ(s.count("Rnd 2 5"), 30);
    // Every tower was tipped over (clicks 20 px into each 100+ px wide tower) and freed.
    EXPECT_EQ(s.rectsInFrame(1000).size(), 0u);
    EXPECT_EQ(s.rectsInFrame(329).size(), 30u);
}

}  // namespace
