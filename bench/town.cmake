# One frame of the town (gestures, update, draw) with 30 live towers against a do-nothing
# runtime. Run: town_bench --benchmark_repetitions=9
add_executable(town_bench ${CMAKE_CURRENT_LIST_DIR}/town_bench.cpp)
target_link_libraries(town_bench PRIVATE stackrise_town benchmark::benchmark)
