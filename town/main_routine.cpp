#include "town/main_routine.h"

#include "runtime/ops.h"

namespace town {

void runFrame(Town& town, Gestures& g) {
    rt::Act();

    // Left press: a press during a drag starts it again from the new x.
    if (rt::Mouse(0) == 1) {
        g.dragStartX = rt::MouseX();
        g.dragging = true;
    }
    // Left release: asked afresh, and only while dragging.
    if (g.dragging && rt::Mouse(0) == 0) {
        g.dragEndX = rt::MouseX();
        g.dragging = false;
        g.dragWidth = g.dragEndX - g.dragStartX;
        if (g.dragWidth > 0.0) {
            town.raiseTower(g.dragStartX, g.dragWidth);
        } else {
            town.raiseTower(g.dragEndX, -g.dragWidth);
        }
    }
    // Right press.
    if (rt::Mouse(1) == 1) {
        const rt::Float x = rt::MouseX();
        const rt::Float y = rt::MouseY();
        town.collapseAt(x, y);
    }

    town.update();
    town.draw();
}

void mainRoutine() {
    rt::Ref<Town> town = rt::make<Town>();
    town->init();
    Gestures gestures;
    for (;;) runFrame(*town, gestures);
}

}  // namespace town
