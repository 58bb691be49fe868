# Canvas fill benchmark: Lumen's blend paths against pixman on the same scenes.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PIXMAN REQUIRED IMPORTED_TARGET pixman-1)
add_executable(canvas_bench ${CMAKE_CURRENT_LIST_DIR}/canvas_bench.cpp)
target_link_libraries(canvas_bench PRIVATE lumen_core test_support PkgConfig::PIXMAN benchmark::benchmark)
