// Process entry: no arguments; start-up ends the process itself.
#include "startup/startup.h"

int main() { startup::runProcess(); }
