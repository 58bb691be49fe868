// The demo's main routine: creates the Town and runs the frame loop. Never returns on its own;
// it ends when a fault (the runtime's end-of-run request among them) leaves it, releasing the
// Town and everything it owns on the way out.
#pragma once

#include "runtime/float.h"
#include "town/town.h"

namespace town {

// The main routine's gesture variables, kept from one frame to the next.
struct Gestures {
    bool dragging = false;       // a left-button drag is under way
    rt::Float dragStartX = 0.0;  // pointer x in the frame the left button went down, canvas px
    rt::Float dragEndX = 0.0;    // pointer x in the frame the drag ended, canvas px
    rt::Float dragWidth = 0.0;   // dragEndX - dragStartX of the last finished drag, canvas px
};

// One frame: Act, the left drag (raiseTower on release), the right press (collapseAt),
// update, draw. Calls Mouse(0) twice while a drag is under way, else once; Mouse(1) once.
void runFrame(Town& town, Gestures& gestures);

// Creates and sets up the one Town (all allocation happens here), then runs runFrame for ever.
// Leaves only by a fault, which passes on unchanged after the Town has been released.
void mainRoutine();

}  // namespace town
