# Flags of the web build (the `web` preset, cmake/toolchain-emscripten.cmake), included from the
# top-level CMakeLists.txt.
#
# WebAssembly rounds to nearest and never traps on floating point: the program's Float is
# rt::SoftFloat (STACKRISE_SOFT_FLOAT), which rounds toward zero and traps in software. Faults are
# C++ exceptions carried by emscripten's JavaScript-based exception handling (-fexceptions),
# which, unlike WebAssembly's own, combines with pausing the module (asyncify) for the page.
# No fused multiply-add: emcc's clang contracts nothing with -ffp-contract=off, and WebAssembly
# has no fused instruction of its own. No -frounding-math: WebAssembly has one rounding mode.
# Compiled for size (-Os after the build type's level): the page is downloaded; the results are
# the same at every level (soft floating point, no contraction).
target_compile_options(stackrise_flags INTERFACE
  ${STACKRISE_WARNINGS} -ffp-contract=off -fno-fast-math -fexceptions -Os)
target_compile_definitions(stackrise_flags INTERFACE STACKRISE_SOFT_FLOAT=1)
# Fault places: __builtin_return_address names the calling WebAssembly function, not the
# JavaScript wrapper of a call that may throw (web/return_address.js).
add_link_options("SHELL:--js-library ${PROJECT_SOURCE_DIR}/web/return_address.js")
add_link_options(-fexceptions)


# The build's own scripts (the page's small icon, its module's names).
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The page (cmake/web_page.cmake): index.html, the browser's link of the program, Data/Lumen.lmd.
set(STACKRISE_SITE_DIR ${CMAKE_BINARY_DIR}/site)
