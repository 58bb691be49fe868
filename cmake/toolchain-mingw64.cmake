# Cross build for 64-bit Windows from Linux with Debian's mingw-w64 and clang.
#
# All C++ is compiled by the posix-threads mingw g++ (its exceptions unwind through frames that a
# structured exception was turned around in, see startup/platform_windows.cpp). The only C source,
# startup/seh_windows.c, needs __try/__except, which only clang compiles for this target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
# The packages' strip: binutils' (CMake would take clang's llvm-strip, which cannot strip
# Data/Lumen.lmd: "invalid SymbolTableIndex").
set(CMAKE_STRIP /usr/bin/${MINGW_TRIPLE}-strip CACHE FILEPATH "strip for the Windows files" FORCE)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything links the compiler's runtime statically: the folder holds only our two files.
# clang, when it drives a link (CMake's check of the C compiler), finds libgcc only through the
# directory of the mingw g++ it is paired with.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
  OUTPUT_VARIABLE MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(MINGW_LIBGCC_DIR "${MINGW_LIBGCC}" DIRECTORY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -L${MINGW_LIBGCC_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -L${MINGW_LIBGCC_DIR}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -L${MINGW_LIBGCC_DIR}")

# Targets run under Wine (tests that start a Windows program directly).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
