# Lumen in the web build, included from lumen/CMakeLists.txt: the entry points and their table
# (lumen/web.h) as a static library linked into the program's module, and Data/Lumen.lmd as the
# library's export list (the form line, then every name of LUMEN_OPERATIONS, one a line), which
# the web platform layer binds by.
add_library(lumen STATIC exports.cpp web_exports.cpp)
target_compile_options(lumen_core PRIVATE -include ${CMAKE_CURRENT_SOURCE_DIR}/os/web_charconv.h)
target_link_libraries(lumen PUBLIC lumen_core)
set_target_properties(lumen PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

set(LUMEN_EXPORT_LIST "Lumen export list 1\n")
foreach(n IN LISTS LUMEN_NAMES)
  string(APPEND LUMEN_EXPORT_LIST "${n}\n")
endforeach()
file(CONFIGURE OUTPUT ${STACKRISE_DATA_DIR}/Lumen.lmd CONTENT "${LUMEN_EXPORT_LIST}")
# The page's copy, fetched beside it into its in-memory file system (web/page_pre.js).
file(CONFIGURE OUTPUT ${STACKRISE_SITE_DIR}/Data/Lumen.lmd CONTENT "${LUMEN_EXPORT_LIST}")

# Catching in Lumen's code only where it catches: the entry points (exports.cpp, each of which
# inlines the catch of its body; the names of LUMEN_OPERATIONS), the shared bodies they call and
# the heap's bookkeeping. Elsewhere in Lumen a call is a plain call, and an exception passes
# through without the cost of the JavaScript round trip that a call which may throw otherwise
# takes; the destructors of Lumen's frames between a raise and the entry point then do not
# run, which loses nothing that the run's end does not give back (memory; its files Lumen keeps
# in members). The program's code (town/, startup/, runtime/) catches as C++ says: its frames'
# destructors are what the call trace shows (FreeMem), the same in every build.
set(LUMEN_CATCHING ${LUMEN_NAMES}
  _ZN12_GLOBAL__N_116serveUnsupportedEPKc _ZN12_GLOBAL__N_114rethrowAsFaultEPKc
  _ZN5lumen4Heap8allocateEyRy _ZN5lumen4Heap7releaseEPvRy)
list(JOIN LUMEN_CATCHING "," LUMEN_CATCHING)
target_compile_options(lumen_core PRIVATE "-sEXCEPTION_CATCHING_ALLOWED=[${LUMEN_CATCHING}]")
target_compile_options(lumen PRIVATE "-sEXCEPTION_CATCHING_ALLOWED=[${LUMEN_CATCHING}]")
