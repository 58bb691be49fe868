// The town: the fixed table of tower slots, the layout and timing constants of the tower
// rules, and the five operations the main routine calls.
#pragma once

#include <cstdint>

#include "runtime/float.h"
#include "runtime/object.h"
#include "town/tower.h"

namespace town {

struct Town : rt::Object {
    int64_t towerCount;                         // number of slots: 30
    rt::Ref<rt::Array<rt::Ref<Tower>>> towers;  // towerCount distinct Towers, never empty
    rt::Float minWidth;                         // smallest tower width, canvas px: 100
    rt::Float minHeight;                        // smallest tower height, canvas px: 100
    rt::Float groundY;                          // top edge of a new tower, canvas px: 910
    int64_t riseFrames;                         // a rising tower moves while timer <= 30
    int64_t stageFrames;                        // a rising stage ends when timer > 50
    int64_t collapseFrames;                     // a collapse ends when timer > 600
    rt::Float shakeWidth;                       // tremble range of a collapsing tower, px: 15
    rt::Float shakeHalf;                        // shakeWidth / 2, centres the tremble: 7.5

    // Set-up of a Town created all zero: the 30 slots and the constants.
    void init();
    // Fills the lowest free slot with a tower over [x, x + width) standing on groundY, with a
    // random height and colour (draws RndF, Rnd(2, 5), RndF, RndF, RndF). x: canvas px;
    // width: canvas px, not negative. No free slot: no change and no random draw.
    void raiseTower(rt::Float x, rt::Float width);
    // Tips over every Standing tower whose rectangle strictly contains (x, y), canvas px.
    void collapseAt(rt::Float x, rt::Float y);
    // Advances every live tower by one frame. Calls nothing.
    void update();
    // One DrawRect per live tower in slot order, at opacity 0.8; a Collapsing tower is shifted
    // sideways by one fresh RndF.
    void draw();
};

}  // namespace town
