# The web build with Debian's emscripten (3.1.6): WebAssembly and a JavaScript runner for node.
#
# Debian's emscripten runs its JavaScript tools with the system's node, which finds their
# modules only through NODE_PATH: every compile and link goes through `env NODE_PATH=...`.
set(STACKRISE_NODE_PATH /usr/share/nodejs CACHE PATH "Where node finds the modules of emscripten's tools")
set(ENV{NODE_PATH} ${STACKRISE_NODE_PATH})
include(/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)
set(CMAKE_C_COMPILER_LAUNCHER env NODE_PATH=${STACKRISE_NODE_PATH})
set(CMAKE_CXX_COMPILER_LAUNCHER env NODE_PATH=${STACKRISE_NODE_PATH})
set(CMAKE_CXX_LINKER_LAUNCHER env NODE_PATH=${STACKRISE_NODE_PATH})
set(CMAKE_C_LINKER_LAUNCHER env NODE_PATH=${STACKRISE_NODE_PATH})
