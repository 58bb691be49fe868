// The town rules: set-up, raising, the right-click hit test, the per-frame update, drawing.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <set>
#include <utility>

#include "support/fp_mode.h"
#include "support/stand_in.h"
#include "town/town.h"
#include "town_checks.h"

namespace {

using standin::StandIn;
using test_support::towardZero;
using town::Tower;
using town::Town;
using town_test::expectTower;
using town_test::slot;

rt::Ref<Town> makeTown() {
    rt::Ref<Town> t = rt::make<Town>();
    t->init();
    return t;
}

// Puts a live tower into slot i as raising and update would leave it.
Tower& place(Town& town, int64_t i, double x, double y, double w, double h, int64_t state,
             int64_t timer = 0) {
    Tower& t = slot(town, i);
    t.x = x;
    t.y = y;
    t.width = w;
    t.height = h;
    t.riseStep = h / 150.0;
    t.fallAccel = h / 600.0;
    t.state = state;
    t.timer = timer;
    t.live = true;
    return t;
}

// Raises a tower at x of `width` from the draws `rndF` and `rnd`, then updates the town
// `updates` times, all rounding toward zero as the program does.
void raiseAndUpdate(StandIn& s, Town& town, std::deque<double> rndF, std::deque<int64_t> rnd, double x,
                    double width, int updates) {
    s.rndF = std::move(rndF);
    s.rnd = std::move(rnd);
    towardZero([&] {
        town.raiseTower(x, width);
        for (int f = 0; f < updates; ++f) town.update();
    });
}

void fillAll(Town& town) {
    for (int64_t i = 0; i < 30; ++i) place(town, i, 10.0 * i, 800.0, 100.0, 100.0, town::Standing);
}

int64_t liveCount(Town& town) {
    int64_t n = 0;
    for (int64_t i = 0; i < town.towerCount; ++i) n += slot(town, i).live;
    return n;
}

// ---- set-up ----

TEST(TownSetUp, ThirtyDistinctFreeSlotsAndTheConstants) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    EXPECT_EQ(town->towerCount, 30);
    ASSERT_EQ(town->towers->length, 30);
    std::set<Tower*> distinct;
    for (int64_t i = 0; i < 30; ++i) {
        Tower& t = slot(*town, i);
        distinct.insert(&t);
        expectTower(t, {.live = false}, "slot " + std::to_string(i));
    }
    EXPECT_EQ(distinct.size(), 30u);
    EXPECT_EQ(town->minWidth, 100.0);
    EXPECT_EQ(town->minHeight, 100.0);
    EXPECT_EQ(town->groundY, 910.0);
    EXPECT_EQ(town->riseFrames, 30);
    EXPECT_EQ(town->stageFrames, 50);
    EXPECT_EQ(town->collapseFrames, 600);
    EXPECT_EQ(town->shakeWidth, 15.0);
    EXPECT_EQ(town->shakeHalf, 7.5);
    // Town, slot array, 30 towers, 30 colour arrays; set-up draws no random number.
    EXPECT_EQ(s.allocs, 62);
    EXPECT_EQ(s.count("RndF") + s.count("Rnd 2 5"), 0);
}

TEST(TownSetUp, ReleasingTheTownFreesEveryBlock) {
    StandIn s;
    {
        rt::Ref<Town> town = makeTown();
        EXPECT_EQ(s.live.size(), 62u);
    }
    EXPECT_TRUE(s.live.empty());
    EXPECT_EQ(s.badFrees, 0);
}

// ---- raising ----

TEST(RaiseTower, FiveDrawsInOrderAndTheirUse) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    s.clearLog();
    s.rndF = {0.5, 0.25, 0.75, 0.125};
    s.rnd = {4};
    town->raiseTower(300.0, 300.0);
    EXPECT_EQ(s.calls, (std::vector<std::string>{"RndF", "Rnd 2 5", "RndF", "RndF", "RndF"}));
    expectTower(slot(*town, 0), {.x = 300.0, .y = 910.0, .width = 300.0, .height = 600.0, .riseStep = 4.0,
                                 .fallAccel = 1.0, .colour = {0.25, 0.75, 0.125}});
    EXPECT_FALSE(slot(*town, 1).live);
}

TEST(RaiseTower, WidthLowerBound) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    const double given[] = {99.9, 100.0, 250.0, 0.0, -0.0};
    const double want[] = {100.0, 100.0, 250.0, 100.0, 100.0};
    for (int i = 0; i < 5; ++i) town->raiseTower(40.0 * i, given[i]);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(slot(*town, i).width, want[i]) << "width " << given[i];
        EXPECT_FALSE(std::signbit(slot(*town, i).width));
        EXPECT_EQ(slot(*town, i).x, 40.0 * i);
    }
}

TEST(RaiseTower, HeightLowerBound) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    s.rndF = {0.125, 0.1, 0.2, 0.3, 0.0, 0.1, 0.2, 0.3};
    s.rnd = {2, 5};
    towardZero([&] {
        town->raiseTower(0.0, 100.0);    // 100 * 0.125 * 2 = 25
        town->raiseTower(0.0, 1000.0);   // RndF 0: any width gives 0
    });
    for (int i = 0; i < 2; ++i) {
        const Tower& t = slot(*town, i);
        EXPECT_EQ(t.height, 100.0);
        // 100/150 and 100/600 are the same double under either rounding.
        EXPECT_EQ(t.riseStep, 0x1.5555555555555p-1);
        EXPECT_EQ(t.fallAccel, 0x1.5555555555555p-3);
    }
}

TEST(RaiseTower, ProductOrderAndRoundingTowardZero) {
    // w 333.3, f 0.9, k 5. Rounding toward zero, (w * f) * k gives ...665p+10; the other order
    // w * (f * k) gives ...666p+10 and rounding to nearest ...667p+10. The two quotients are
    // rounded toward zero as well.
    StandIn s;
    rt::Ref<Town> town = makeTown();
    raiseAndUpdate(s, *town, {0.9}, {5}, 10.0, 333.3, 0);
    const Tower& t = slot(*town, 0);
    EXPECT_EQ(t.height, 0x1.76f6666666665p+10);
    EXPECT_EQ(t.riseStep, 0x1.3ff7ced916871p+3);
    EXPECT_EQ(t.fallAccel, 0x1.3ff7ced916871p+1);
}

TEST(RaiseTower, LowestFreeSlotThenNothingWhenFull) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    fillAll(*town);
    slot(*town, 3).live = false;
    slot(*town, 7).live = false;
    s.clearLog();
    town->raiseTower(500.0, 120.0);
    EXPECT_TRUE(slot(*town, 3).live);
    EXPECT_EQ(slot(*town, 3).x, 500.0);
    EXPECT_FALSE(slot(*town, 7).live);
    town->raiseTower(600.0, 130.0);
    EXPECT_TRUE(slot(*town, 7).live);
    EXPECT_EQ(slot(*town, 7).x, 600.0);
    EXPECT_EQ(s.count("RndF"), 8);
    EXPECT_EQ(s.count("Rnd 2 5"), 2);

    // All 30 live: the drag is lost, no random number is drawn and nothing changes.
    s.clearLog();
    const Tower before = slot(*town, 3);
    town->raiseTower(900.0, 140.0);
    EXPECT_TRUE(s.calls.empty());
    EXPECT_EQ(slot(*town, 3).x, before.x);
    EXPECT_EQ(slot(*town, 3).width, before.width);
    EXPECT_EQ(liveCount(*town), 30);
}

TEST(RaiseTower, ThirtySlotLimitAndReuseOfTheLowestFreed) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    for (int i = 0; i < 31; ++i) town->raiseTower(10.0 * i, 100.0);
    EXPECT_EQ(liveCount(*town), 30);
    EXPECT_EQ(s.count("RndF"), 4 * 30);
    EXPECT_EQ(s.count("Rnd 2 5"), 30);

    // Free slots 20 and 12 through a collapse run to its end.
    for (int i : {20, 12}) {
        slot(*town, i).state = town::Collapsing;
        slot(*town, i).timer = 0;
    }
    for (int f = 0; f < 602; ++f) town->update();
    EXPECT_FALSE(slot(*town, 12).live);
    EXPECT_FALSE(slot(*town, 20).live);
    EXPECT_EQ(slot(*town, 12).state, town::Collapsing);
    EXPECT_EQ(slot(*town, 12).timer, 0);

    rt::Array<double>* colour = slot(*town, 12).colour.get();
    s.rndF = {0.5, 0.9, 0.8, 0.7};
    s.rnd = {3};
    town->raiseTower(777.0, 150.0);
    Tower& t = slot(*town, 12);
    expectTower(t, {.x = 777.0, .y = 910.0, .width = 150.0, .height = 225.0, .riseStep = 1.5, .fallAccel = 0.375,
                    .colour = {0.9, 0.8, 0.7}});
    EXPECT_EQ(t.colour.get(), colour);  // the same array, new values
    EXPECT_FALSE(slot(*town, 20).live);
}

TEST(RaiseTower, FaultInARandomDrawLeavesTheSlotFree) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    int draws = 0;
    s.onCall = [&](const std::string& c) {
        if (c == "RndF" && ++draws == 3) throw lumen::Fault{1005, 0, 0};
    };
    EXPECT_THROW(town->raiseTower(50.0, 200.0), lumen::Fault);
    EXPECT_FALSE(slot(*town, 0).live);
    EXPECT_EQ(slot(*town, 0).state, town::Rising1);
}

// ---- right click ----

TEST(CollapseAt, StrictOnAllFourEdges) {
    // x 100, width 200, y 817, height 150: a tower of height 150 standing on the ground line.
    struct Case {
        double x, y;
        bool hit;
    };
    const Case cases[] = {
        {150.0, 900.0, true},  {299.5, 966.5, true},  {100.0, 900.0, false},
        {300.0, 900.0, false}, {150.0, 817.0, false}, {150.0, 967.0, false},
        {99.9, 900.0, false},  {150.0, 816.9, false},
    };
    for (const Case& c : cases) {
        StandIn s;
        rt::Ref<Town> town = makeTown();
        place(*town, 4, 100.0, 817.0, 200.0, 150.0, town::Standing);
        s.clearLog();
        towardZero([&] { town->collapseAt(c.x, c.y); });
        EXPECT_EQ(slot(*town, 4).state, c.hit ? town::Collapsing : town::Standing)
            << "click at " << c.x << ", " << c.y;
        EXPECT_TRUE(s.calls.empty());
    }
}

TEST(CollapseAt, OnlyStandingTowersAndEveryOneUnderThePointer) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    place(*town, 0, 100.0, 700.0, 200.0, 150.0, town::Standing);
    place(*town, 1, 150.0, 650.0, 300.0, 250.0, town::Standing);  // overlaps slot 0
    place(*town, 2, 500.0, 700.0, 200.0, 150.0, town::Standing);  // elsewhere
    place(*town, 3, 100.0, 700.0, 200.0, 150.0, town::Rising1, 12);
    place(*town, 4, 100.0, 700.0, 200.0, 150.0, town::Rising2, 40);
    place(*town, 5, 100.0, 700.0, 200.0, 150.0, town::Rising3, 51);
    place(*town, 6, 100.0, 700.0, 200.0, 150.0, town::Collapsing, 77);
    // A freed slot under the pointer.
    place(*town, 7, 100.0, 700.0, 200.0, 150.0, town::Collapsing).live = false;
    town->collapseAt(200.0, 800.0);
    EXPECT_EQ(slot(*town, 0).state, town::Collapsing);
    EXPECT_EQ(slot(*town, 1).state, town::Collapsing);
    EXPECT_EQ(slot(*town, 2).state, town::Standing);
    EXPECT_EQ(slot(*town, 3).state, town::Rising1);
    EXPECT_EQ(slot(*town, 4).state, town::Rising2);
    EXPECT_EQ(slot(*town, 5).state, town::Rising3);
    EXPECT_EQ(slot(*town, 6).state, town::Collapsing);
    EXPECT_EQ(slot(*town, 6).timer, 77);
    EXPECT_EQ(slot(*town, 0).timer, 0);
    EXPECT_FALSE(slot(*town, 7).live);
    EXPECT_EQ(slot(*town, 7).timer, 0);
    // Nothing else moves.
    EXPECT_EQ(slot(*town, 0).y, 700.0);
    EXPECT_EQ(slot(*town, 3).timer, 12);
}

TEST(CollapseAt, RightAndBottomEdgesAreSumsRoundedTowardZero) {
    // 0.1 + 0.2 is 0x1.3333333333333p-2 toward zero and ...334p-2 to nearest: a click at
    // ...333p-2 lies on the right (bottom) edge of a tower from 0.1 with size 0.2 under the
    // program's rounding, and would be inside it under rounding to nearest.
    StandIn s;
    rt::Ref<Town> town = makeTown();
    place(*town, 0, 0.1, 0.1, 0.2, 0.2, town::Standing);
    towardZero([&] { town->collapseAt(0x1.3333333333333p-2, 0.2); });
    EXPECT_EQ(slot(*town, 0).state, town::Standing);
    towardZero([&] { town->collapseAt(0.2, 0x1.3333333333333p-2); });
    EXPECT_EQ(slot(*town, 0).state, town::Standing);
    towardZero([&] { town->collapseAt(0x1.3333333333332p-2, 0x1.3333333333332p-2); });
    EXPECT_EQ(slot(*town, 0).state, town::Collapsing);
}

// ---- update ----

TEST(Update, StageBoundaries) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    const int64_t states[] = {town::Rising1, town::Rising2, town::Rising3};
    const int64_t next[] = {town::Rising2, town::Rising3, town::Standing};
    const int64_t timers[] = {0, 30, 31, 50, 51};
    int64_t i = 0;
    for (int64_t st : states) {
        for (int64_t tm : timers) place(*town, i++, 0.0, 500.0, 100.0, 150.0, st, tm);
    }
    s.clearLog();
    town->update();
    // Per timer: rising to 30, a pause to 50, the next stage at 51.
    struct After {
        double y;
        int64_t timer;
        bool nextStage;
    };
    const After after[] = {{499.0, 1, false}, {499.0, 31, false}, {500.0, 32, false}, {500.0, 51, false},
                           {500.0, 0, true}};
    i = 0;
    for (int k = 0; k < 3; ++k) {
        for (int j = 0; j < 5; ++j) {
            const Tower& t = slot(*town, i++);
            EXPECT_EQ(t.y, after[j].y) << k << " timer " << timers[j];
            EXPECT_EQ(t.timer, after[j].timer) << k << " timer " << timers[j];
            EXPECT_EQ(t.state, after[j].nextStage ? next[k] : states[k]) << k << " timer " << timers[j];
        }
    }
    EXPECT_TRUE(s.calls.empty());
}

TEST(Update, HeightOneFiftyStandsAt817AfterThe156thUpdate) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    raiseAndUpdate(s, *town, {0.5}, {3}, 100.0, 100.0, 155);  // height 100 * 0.5 * 3 = 150
    Tower& t = slot(*town, 0);
    const town_test::TowerFields standing{.state = town::Standing, .x = 100.0, .y = 817.0, .width = 100.0,
                                          .height = 150.0, .riseStep = 1.0, .fallAccel = 0.25,
                                          .colour = {0.5, 0.5, 0.5}};
    EXPECT_EQ(t.state, town::Rising3);
    EXPECT_EQ(t.y, 817.0);
    towardZero([&] { town->update(); });
    expectTower(t, standing, "after 156 updates");
    towardZero([&] {
        for (int f = 0; f < 1000; ++f) town->update();
    });
    expectTower(t, standing, "1000 updates later");
}

TEST(Update, HeightOneHundredStandsWhereRoundingTowardZeroPutsIt) {
    // riseStep is 100/150 = 0x1.5555555555555p-1 (below 2/3 under either rounding). The top
    // edge is 910 minus 93 such steps, each difference rounded on its own. Derived once by
    // exact rational arithmetic (each step's exact difference truncated to 53 bits) and
    // checked with a C program under fesetround(FE_TOWARDZERO): 0x1.a7fffffffffc2p+9
    // (847.99999999999295...). Rounding to nearest would give 0x1.a80000000001fp+9
    // (848.0000000000035...), which this test must not see.
    StandIn s;
    rt::Ref<Town> town = makeTown();
    raiseAndUpdate(s, *town, {0.125}, {2}, 100.0, 100.0, 156);
    const Tower& t = slot(*town, 0);
    EXPECT_EQ(t.state, town::Standing);
    EXPECT_EQ(t.y, 0x1.a7fffffffffc2p+9);
}

TEST(Update, CollapseFallsWithGrowingSpeedAndFreesAfter601Frames) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    Tower& t = place(*town, 0, 100.0, 817.0, 200.0, 150.0, town::Collapsing);
    rt::Array<double>& colour = *t.colour;
    colour[0] = 0.3;
    towardZero([&] { town->update(); });
    EXPECT_EQ(t.y, 817.0);  // the first falling frame adds 0 * fallAccel
    EXPECT_EQ(t.timer, 1);
    towardZero([&] { town->update(); });
    EXPECT_EQ(t.y, 817.25);
    EXPECT_EQ(t.timer, 2);
    towardZero([&] {
        for (int f = 2; f < 600; ++f) town->update();
    });
    EXPECT_EQ(t.timer, 600);
    const double before = t.y;
    towardZero([&] { town->update(); });  // timer 600 still falls
    EXPECT_EQ(t.y, before + 150.0);
    EXPECT_EQ(t.timer, 601);
    EXPECT_TRUE(t.live);
    // 0.25 * (0 + 1 + ... + 600) = 45075 below the standing position, all exact.
    EXPECT_EQ(t.y, 817.0 + 45075.0);
    towardZero([&] { town->update(); });  // timer 601 frees the slot
    EXPECT_FALSE(t.live);
    EXPECT_EQ(t.timer, 0);
    EXPECT_EQ(t.state, town::Collapsing);
    EXPECT_EQ(t.y, 817.0 + 45075.0);
    EXPECT_EQ(t.x, 100.0);
    EXPECT_EQ(colour[0], 0.3);
}

TEST(Update, FreeSlotsAndUnknownStatesDoNotMove) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    place(*town, 0, 0.0, 500.0, 100.0, 150.0, town::Rising1, 5).live = false;
    place(*town, 1, 0.0, 500.0, 100.0, 150.0, town::Collapsing, 700).live = false;
    place(*town, 2, 0.0, 500.0, 100.0, 150.0, 9, 5);
    place(*town, 3, 0.0, 500.0, 100.0, 150.0, town::Standing);
    s.clearLog();
    for (int f = 0; f < 5; ++f) town->update();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(slot(*town, i).y, 500.0) << "slot " << i;
    EXPECT_EQ(slot(*town, 0).timer, 5);
    EXPECT_EQ(slot(*town, 1).timer, 700);
    EXPECT_EQ(slot(*town, 2).timer, 5);
    EXPECT_EQ(slot(*town, 3).timer, 0);
    EXPECT_TRUE(s.calls.empty());
}

// ---- drawing ----

TEST(Draw, NothingWithoutLiveTowers) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    place(*town, 5, 10.0, 20.0, 100.0, 150.0, town::Collapsing).live = false;
    place(*town, 6, 10.0, 20.0, 100.0, 150.0, town::Standing).live = false;
    s.clearLog();
    town->draw();
    EXPECT_TRUE(s.calls.empty());
}

TEST(Draw, OneRectPerLiveTowerInSlotOrder) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    const int64_t states[] = {town::Rising1, town::Rising2, town::Rising3, town::Standing};
    for (int i = 0; i < 4; ++i) {
        Tower& t = place(*town, 2 * i + 1, 100.0 * i, 700.0 + i, 120.0 + i, 150.0 + i, states[i]);
        (*t.colour)[0] = 0.1 * i;
        (*t.colour)[1] = 0.2;
        (*t.colour)[2] = 0.3;
    }
    s.clearLog();
    town->draw();
    ASSERT_EQ(s.rects.size(), 4u);
    EXPECT_EQ(s.count("RndF"), 0);
    for (int i = 0; i < 4; ++i) {
        const standin::Rect& r = s.rects[static_cast<size_t>(i)];
        EXPECT_EQ(r.x, 100.0 * i);
        EXPECT_EQ(r.y, 700.0 + i);
        EXPECT_EQ(r.w, 120.0 + i);
        EXPECT_EQ(r.h, 150.0 + i);
        EXPECT_EQ(r.r, 0.1 * i);
        EXPECT_EQ(r.g, 0.2);
        EXPECT_EQ(r.b, 0.3);
        EXPECT_EQ(r.a, 0.8);
    }
}

TEST(Draw, CollapsingTowersTrembleWithOneRndFEachInSlotOrder) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    place(*town, 2, 100.0, 900.0, 200.0, 150.0, town::Collapsing, 40);
    place(*town, 3, 300.0, 817.0, 200.0, 150.0, town::Standing);
    place(*town, 9, 512.7, 1000.0, 180.0, 120.0, town::Collapsing, 3);
    place(*town, 11, 100.0, 900.0, 200.0, 150.0, town::Collapsing, 7).live = false;
    s.clearLog();
    s.rndF = {0.25, 0.3};
    towardZero([&] { town->draw(); });
    EXPECT_EQ(s.calls, (std::vector<std::string>{"RndF", "DrawRect", "DrawRect", "RndF", "DrawRect"}));
    ASSERT_EQ(s.rects.size(), 3u);
    EXPECT_EQ(s.rects[0].x, 96.25);  // (100 - 7.5) + 15 * 0.25
    EXPECT_EQ(s.rects[0].y, 900.0);
    EXPECT_EQ(s.rects[0].w, 200.0);
    EXPECT_EQ(s.rects[0].h, 150.0);
    EXPECT_EQ(s.rects[1].x, 300.0);
    // (512.7 - 7.5) + 15 * 0.3 toward zero; (512.7 + 15 * 0.3) - 7.5 would give ...332p+8
    // and rounding to nearest ...334p+8.
    EXPECT_EQ(s.rects[2].x, 0x1.fdb3333333333p+8);
    EXPECT_EQ(s.rects[2].y, 1000.0);
    EXPECT_EQ(s.rects[2].w, 180.0);
    // The tremble is never stored.
    EXPECT_EQ(slot(*town, 2).x, 100.0);
    EXPECT_EQ(slot(*town, 9).x, 512.7);
}

TEST(Draw, TrembleEdgesAtZeroAndAlmostOne) {
    StandIn s;
    rt::Ref<Town> town = makeTown();
    place(*town, 0, 400.0, 900.0, 200.0, 150.0, town::Collapsing, 1);
    s.rndF = {0.0, 0x1.fffffffffffffp-1};
    towardZero([&] {
        town->draw();
        town->draw();
    });
    ASSERT_EQ(s.rects.size(), 2u);
    EXPECT_EQ(s.rects[0].x, 392.5);
    EXPECT_LT(s.rects[1].x, 407.5);
    EXPECT_GT(s.rects[1].x, 407.4);
}

}  // namespace
