// The town end to end on the native build (the cases: town_cases.cpp).
#include <gtest/gtest.h>

#include "native_platform.h"

namespace {
const e2e::Native kNative(STACKRISE_EXE, "");
}  // namespace

E2E_SHARED_TOWN_TESTS(TownEndToEnd, kNative)
