// The demo's main routine: creates the Town and runs the frame loop. Never returns on its own;
// it ends when a fault (the runtime's end-of-run request among them) leaves it.
#pragma once

namespace town {

void mainRoutine();

}  // namespace town
