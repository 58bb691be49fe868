# Whole frames of the real program: the headless demo unpaced, and the window under Xvfb against
# a plain SDL peer (frame interval from the trace's Act times, CPU from /proc).
# Run: frames_bench --benchmark_repetitions=5
find_package(SDL2 CONFIG QUIET)
if(NOT TARGET SDL2::SDL2 OR NOT TARGET window_xserver)
  message(STATUS "frames_bench skipped: SDL2, Xlib or libpng missing")
  return()
endif()

add_executable(window_peer ${CMAKE_CURRENT_LIST_DIR}/window_peer.cpp)
target_link_libraries(window_peer PRIVATE stackrise_flags SDL2::SDL2)

# The window tests' helpers (tests/support/xserver.h): a private Xvfb, the program as a child, xdotool.
add_executable(frames_bench ${CMAKE_CURRENT_LIST_DIR}/frames_bench.cpp)
target_link_libraries(frames_bench PRIVATE window_xserver benchmark::benchmark)
add_dependencies(frames_bench stackrise lumen window_peer)
target_compile_definitions(frames_bench PRIVATE
  STACKRISE_EXE="$<TARGET_FILE:stackrise>"
  WINDOW_PEER_EXE="$<TARGET_FILE:window_peer>")
