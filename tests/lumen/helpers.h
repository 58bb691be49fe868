// Lumen's tests take their temporary files and file reading from the shared test support.
#pragma once

#include "support/files.h"

namespace lumen_test {

using test_support::readLines;
using test_support::TempFile;
inline constexpr auto& readAll = test_support::readFile;  // the whole file, or "" if it cannot be read

}  // namespace lumen_test
