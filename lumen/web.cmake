# Lumen in the web build, included from lumen/CMakeLists.txt: the entry points and their table
# (lumen/web.h) as a static library linked into the program's module, and Data/Lumen.lmd as the
# library's export list (the form line, then every name of LUMEN_OPERATIONS, one a line), which
# the web platform layer binds by.
add_library(lumen STATIC exports.cpp web_exports.cpp)
target_compile_options(lumen_core PRIVATE -include ${CMAKE_CURRENT_SOURCE_DIR}/web_charconv.h)
target_link_libraries(lumen PUBLIC lumen_core)
set_target_properties(lumen PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

file(READ ${CMAKE_CURRENT_SOURCE_DIR}/include/lumen/lumen.h LUMEN_HEADER)
string(REGEX MATCH "#define LUMEN_OPERATIONS\\(CALLED, OTHER\\)([^#]*)" LUMEN_BLOCK "${LUMEN_HEADER}")
string(REGEX MATCHALL "(CALLED|OTHER)\\([A-Za-z0-9_]+" LUMEN_XS "${CMAKE_MATCH_1}")
if(NOT LUMEN_XS)
  message(FATAL_ERROR "no LUMEN_OPERATIONS table in lumen.h")
endif()
set(LUMEN_EXPORT_LIST "Lumen export list 1\n")
foreach(x IN LISTS LUMEN_XS)
  string(REGEX REPLACE "^(CALLED|OTHER)\\(" "" n "${x}")
  string(APPEND LUMEN_EXPORT_LIST "${n}\n")
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/include/lumen/lumen.h)
file(CONFIGURE OUTPUT ${STACKRISE_DATA_DIR}/Lumen.lmd CONTENT "${LUMEN_EXPORT_LIST}")
