# One frame of the town (gestures, update, draw) with 30 live towers against the town tests'
# stand-in runtime, recording nothing. Run: town_bench --benchmark_repetitions=9
add_executable(town_bench ${CMAKE_CURRENT_LIST_DIR}/town_bench.cpp)
target_link_libraries(town_bench PRIVATE town_stand_in benchmark::benchmark)
