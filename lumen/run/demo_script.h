// The built-in demo script (lumen/demo.script), embedded at build time.
#pragma once

#include <string_view>

namespace lumen {

// The demo's text, as in lumen/demo.script.
std::string_view demoScript();
// The file name that script errors in the demo name.
constexpr const char* kDemoScriptName = "demo.script";

}  // namespace lumen
