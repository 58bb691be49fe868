// The town end to end on the native build (the cases: town_cases.cpp).
#include <gtest/gtest.h>

#include "native_platform.h"

namespace {
const e2e::Native kNative(STACKRISE_EXE, "");
}  // namespace

TEST(TownEndToEnd, RaisedStandingAndFallingTowerAreDrawnByTheTownRules) {
    e2e::cases::raisedStandingAndFallingTowerFollowTheTownRules(kNative);
}

TEST(TownEndToEnd, TheThirtyFirstDragIsDropped) { e2e::cases::theThirtyFirstDragIsDropped(kNative); }

TEST(TownEndToEnd, AFreedSlotIsReusedAtTheLowestIndex) { e2e::cases::aFreedSlotIsReusedAtTheLowestIndex(kNative); }
