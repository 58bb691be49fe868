# Whole frames of the real program: the headless demo unpaced, and the window under Xvfb
# (frame interval from a preloaded clock on SDL_RenderPresent, CPU from /proc).
# Run: frames_bench --benchmark_repetitions=5
find_package(SDL2 CONFIG QUIET)
if(NOT TARGET SDL2::SDL2 OR NOT TARGET window_xserver)
  message(STATUS "frames_bench skipped: SDL2, Xlib or libpng missing")
  return()
endif()

add_library(present_clock MODULE ${CMAKE_CURRENT_LIST_DIR}/present_clock.cpp)
target_link_libraries(present_clock PRIVATE stackrise_flags ${CMAKE_DL_LIBS})
set_target_properties(present_clock PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The window tests' helpers (tests/support/xserver.h): a private Xvfb, the program as a child, xdotool.
add_executable(frames_bench ${CMAKE_CURRENT_LIST_DIR}/frames_bench.cpp)
target_link_libraries(frames_bench PRIVATE window_xserver benchmark::benchmark)
add_dependencies(frames_bench stackrise lumen present_clock)
target_compile_definitions(frames_bench PRIVATE
  STACKRISE_EXE="$<TARGET_FILE:stackrise>"
  PRESENT_CLOCK_LIB="$<TARGET_FILE:present_clock>")
