// One tower slot of the town: a coloured rectangle with its two motion rates, a frame timer,
// a live flag and a state. All 30 slots are created at set-up and reused for the whole run.
#pragma once

#include <cstdint>

#include "runtime/float.h"
#include "runtime/object.h"

namespace town {

// The values of Tower::state.
enum TowerState : int64_t {
    Rising1 = 0,     // first rising stage; also a slot that was never used
    Rising2 = 1,     // second rising stage
    Rising3 = 2,     // third rising stage
    Standing = 3,    // fully raised; only a right click changes it
    Collapsing = 4,  // falling and trembling; also a slot freed after its collapse
};

struct Tower : rt::Object {
    rt::Float x;          // left edge, canvas px
    rt::Float y;          // top edge, canvas px (y grows downward)
    rt::Float width;      // canvas px, >= minWidth once raised
    rt::Float height;     // canvas px, >= minHeight once raised
    rt::Float riseStep;   // px moved up per rising frame: height / (stageFrames * 3.0)
    rt::Float fallAccel;  // px/frame^2 while collapsing: height / collapseFrames
    int64_t timer;        // update calls spent in the current stage; 0 while Standing or free
    bool live;            // false: the slot is free (not updated, drawn or hit)
    int64_t state;        // a TowerState value
    rt::Ref<rt::Array<rt::Float>> colour;  // red, green, blue, each [0, 1]; same array for life

    // Set-up of a Tower created all zero: state Rising1, colour a new array [1, 1, 1].
    void init();
};

}  // namespace town
