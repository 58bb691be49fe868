# The distribution's build flags, as a Debian package is built with them: dpkg-buildflags with
# every hardening feature (stack protector, fortified functions, format checks, read-only
# relocations bound at start, position-independent executables). The release preset, which
# makes the .deb, turns this on; the flags come after the project's own for every target.
option(STACKRISE_DPKG_BUILDFLAGS
  "Build with the flags of dpkg-buildflags (hardening=+all), as the Debian package is" OFF)
if(NOT STACKRISE_DPKG_BUILDFLAGS OR WIN32 OR EMSCRIPTEN)
  return()
endif()
find_program(STACKRISE_DPKG_BUILDFLAGS_TOOL dpkg-buildflags)
if(NOT STACKRISE_DPKG_BUILDFLAGS_TOOL)
  message(FATAL_ERROR "STACKRISE_DPKG_BUILDFLAGS is on but dpkg-buildflags is missing (apt-get install dpkg-dev)")
endif()
foreach(kind CFLAGS CXXFLAGS CPPFLAGS LDFLAGS)
  # Run from the source folder, so that its -ffile-prefix-map maps the sources to ".".
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${STACKRISE_DPKG_BUILDFLAGS_TOOL} --get ${kind}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    RESULT_VARIABLE status OUTPUT_VARIABLE dpkg_${kind} ERROR_VARIABLE error
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed (${status}): ${error}")
  endif()
endforeach()
message(STATUS "dpkg-buildflags: CPPFLAGS ${dpkg_CPPFLAGS}; CXXFLAGS ${dpkg_CXXFLAGS}; LDFLAGS ${dpkg_LDFLAGS}")
string(APPEND CMAKE_C_FLAGS " ${dpkg_CPPFLAGS} ${dpkg_CFLAGS}")
string(APPEND CMAKE_CXX_FLAGS " ${dpkg_CPPFLAGS} ${dpkg_CXXFLAGS}")
foreach(kind EXE SHARED MODULE)
  string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${dpkg_LDFLAGS}")
endforeach()
