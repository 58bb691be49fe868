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
