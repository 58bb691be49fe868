// What the town's unit tests share: a slot of the town and the check of all that a tower holds.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "town/town.h"

namespace town_test {

inline town::Tower& slot(town::Town& town, int64_t i) { return *(*town.towers)[i]; }

// Every field of a tower, as expectTower compares them (canvas px, frames, colour in [0, 1]).
struct TowerFields {
    bool live = true;
    int64_t state = town::Rising1;
    int64_t timer = 0;
    double x = 0.0, y = 0.0, width = 0.0, height = 0.0, riseStep = 0.0, fallAccel = 0.0;
    double colour[3] = {1.0, 1.0, 1.0};
};

inline void expectTower(const town::Tower& t, const TowerFields& want, const std::string& what = "") {
    EXPECT_EQ(t.live, want.live) << what;
    EXPECT_EQ(t.state, want.state) << what;
    EXPECT_EQ(t.timer, want.timer) << what;
    EXPECT_EQ(t.x, want.x) << what;
    EXPECT_EQ(t.y, want.y) << what;
    EXPECT_EQ(t.width, want.width) << what;
    EXPECT_EQ(t.height, want.height) << what;
    EXPECT_EQ(t.riseStep, want.riseStep) << what;
    EXPECT_EQ(t.fallAccel, want.fallAccel) << what;
    ASSERT_TRUE(t.colour) << what;
    ASSERT_EQ(t.colour->length, 3) << what;
    for (int64_t i = 0; i < 3; ++i) EXPECT_EQ((*t.colour)[i], want.colour[i]) << what << " colour " << i;
}

}  // namespace town_test
