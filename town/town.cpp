#include "town/town.h"

#include "runtime/ops.h"

namespace town {

void Tower::init() {
    state = Rising1;
    colour = rt::makeArray<rt::Float>(3);
    (*colour)[0] = 1.0;
    (*colour)[1] = 1.0;
    (*colour)[2] = 1.0;
}

void Town::init() {
    towerCount = 30;
    towers = rt::makeArray<rt::Ref<Tower>>(towerCount);
    for (int64_t i = 0; i < towerCount; ++i) {
        (*towers)[i] = rt::make<Tower>();
        (*towers)[i]->init();
    }
    minWidth = 100.0;
    minHeight = 100.0;
    groundY = 910.0;
    riseFrames = 30;
    stageFrames = 20;
    collapseFrames = 600;
    shakeWidth = 15.0;
    stageFrames = stageFrames + riseFrames;
    shakeHalf = shakeWidth / 2.0;
}

void Town::raiseTower(rt::Float x, rt::Float width) {
    rt::Array<rt::Ref<Tower>>& slots = *towers;
    for (int64_t i = 0; i < towerCount; ++i) {
        Tower& t = *slots[i];
        if (t.live) continue;

        t.x = x;
        t.y = groundY;
        const rt::Float w = width < minWidth ? minWidth : width;
        t.width = w;
        const rt::Float f = rt::RndF();
        const int64_t k = rt::Rnd(2, 5);
        t.height = (w * f) * rt::Float(k);
        if (t.height < minHeight) t.height = minHeight;
        t.riseStep = t.height / (rt::Float(stageFrames) * 3.0);
        t.fallAccel = t.height / rt::Float(collapseFrames);
        rt::Array<rt::Float>& colour = *t.colour;
        colour[0] = rt::RndF();
        colour[1] = rt::RndF();
        colour[2] = rt::RndF();
        // Written last: a fault in a random draw leaves the slot free.
        t.state = Rising1;
        t.live = true;
        return;
    }
}

void Town::collapseAt(rt::Float x, rt::Float y) {
    rt::Array<rt::Ref<Tower>>& slots = *towers;
    for (int64_t i = 0; i < towerCount; ++i) {
        Tower& t = *slots[i];
        if (t.state != Standing) continue;
        if (x > t.x && x < t.x + t.width && y > t.y && y < t.y + t.height) t.state = Collapsing;
    }
}

void Town::update() {
    rt::Array<rt::Ref<Tower>>& slots = *towers;
    // Nothing in the loop writes the Town's own fields.
    const int64_t count = towerCount;
    const int64_t rise = riseFrames;
    const int64_t stage = stageFrames;
    const int64_t fall = collapseFrames;
    for (int64_t i = 0; i < count; ++i) {
        Tower& t = *slots[i];
        if (!t.live) continue;
        const int64_t state = t.state;
        const int64_t timer = t.timer;
        if (static_cast<uint64_t>(state) <= static_cast<uint64_t>(Rising3)) {
            // Rising frame (timer <= riseFrames), pause frame (timer <= stageFrames) or the
            // switch to the next state, which is the next TowerState value.
            const bool moves = timer <= rise;
            const bool next = !moves && timer > stage;
            if (moves) t.y = t.y - t.riseStep;
            t.timer = next ? 0 : timer + 1;
            t.state = next ? state + 1 : state;
        } else if (state == Collapsing) {
            // Falling frame (timer <= collapseFrames), or the slot is freed.
            const bool done = timer > fall;
            if (!done) t.y = t.y + (t.fallAccel * rt::Float(timer));
            t.timer = done ? 0 : timer + 1;
            t.live = !done;
        }
        // Standing, or a value never stored: nothing.
    }
}

void Town::draw() {
    rt::Array<rt::Ref<Tower>>& slots = *towers;
    const int64_t count = towerCount;
    const rt::Float half = shakeHalf;
    const rt::Float shake = shakeWidth;
    for (int64_t i = 0; i < count; ++i) {
        Tower& t = *slots[i];
        if (!t.live) continue;
        rt::Float left = t.x;
        if (t.state == Collapsing) {
            const rt::Float a = t.x - half;
            const rt::Float r = rt::RndF();
            left = a + (shake * r);
        }
        rt::Array<rt::Float>& colour = *t.colour;
        rt::DrawRect(left, t.y, t.width, t.height, colour[0], colour[1], colour[2], 0.8);
    }
}

}  // namespace town
