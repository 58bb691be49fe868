#include "town/main_routine.h"

#include "runtime/ops.h"

namespace town {

void mainRoutine() {
    for (;;) rt::Act();
}

}  // namespace town
