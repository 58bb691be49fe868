#include "town/town.h"

#include "runtime/ops.h"

namespace town {

void Tower::init() {
    state = Rising1;
    colour = rt::makeArray<double>(3);
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

void Town::raiseTower(double x, double width) {
    rt::Array<rt::Ref<Tower>>& slots = *towers;
    for (int64_t i = 0; i < towerCount; ++i) {
        Tower& t = *slots[i];
        if (t.live) continue;

        t.x = x;
        t.y = groundY;
        const double w = width < minWidth ? minWidth : width;
        t.width = w;
        const double f = rt::RndF();
        const int64_t k = rt::Rnd(2, 5);
        t.height = (w * f) * static_cast<double>(k);
        if (t.height < minHeight) t.height = minHeight;
        t.riseStep = t.height / (static_cast<double>(stageFrames) * 3.0);
        t.fallAccel = t.height / static_cast<double>(collapseFrames);
        rt::Array<double>& colour = *t.colour;
        colour[0] = rt::RndF();
        colour[1] = rt::RndF();
        colour[2] = rt::RndF();
        // Written last: a fault in a random draw leaves the slot free.
        t.state = Rising1;
        t.live = true;
        return;
    }
}

void Town::collapseAt(double x, double y) {
    rt::Array<rt::Ref<Tower>>& slots = *towers;
    for (int64_t i = 0; i < towerCount; ++i) {
        Tower& t = *slots[i];
        if (t.state != Standing) continue;
        if (x > t.x && x < t.x + t.width && y > t.y && y < t.y + t.height) t.state = Collapsing;
    }
}

namespace {

// One frame of a rising stage: rise, pause, or move on to `next`.
inline void stage(Tower& t, int64_t riseFrames, int64_t stageFrames, int64_t next) {
    if (t.timer <= riseFrames) {
        t.y = t.y - t.riseStep;
        t.timer = t.timer + 1;
    } else if (t.timer <= stageFrames) {
        t.timer = t.timer + 1;
    } else {
        t.timer = 0;
        t.state = next;
    }
}

// One frame of a collapse: fall by fallAccel * timer, or free the slot.
inline void collapse(Tower& t, int64_t collapseFrames) {
    if (t.timer > collapseFrames) {
        t.timer = 0;
        t.live = false;
    } else {
        t.y = t.y + (t.fallAccel * static_cast<double>(t.timer));
        t.timer = t.timer + 1;
    }
}

}  // namespace

void Town::update() {
    rt::Array<rt::Ref<Tower>>& slots = *towers;
    for (int64_t i = 0; i < towerCount; ++i) {
        Tower& t = *slots[i];
        if (!t.live) continue;
        switch (t.state) {
            case Rising1: stage(t, riseFrames, stageFrames, Rising2); break;
            case Rising2: stage(t, riseFrames, stageFrames, Rising3); break;
            case Rising3: stage(t, riseFrames, stageFrames, Standing); break;
            case Collapsing: collapse(t, collapseFrames); break;
            default: break;  // Standing, or a value never stored
        }
    }
}

void Town::draw() {
    rt::Array<rt::Ref<Tower>>& slots = *towers;
    for (int64_t i = 0; i < towerCount; ++i) {
        Tower& t = *slots[i];
        if (!t.live) continue;
        rt::Array<double>& colour = *t.colour;
        double left = t.x;
        if (t.state == Collapsing) {
            const double a = t.x - shakeHalf;
            const double r = rt::RndF();
            left = a + (shakeWidth * r);
        }
        rt::DrawRect(left, t.y, t.width, t.height, colour[0], colour[1], colour[2], 0.8);
    }
}

}  // namespace town
