# The town end to end: scripted headless runs of the real program and Lumen, read from the trace.
# Included by tests/e2e/CMakeLists.txt (which defines e2e_harness).
add_executable(town_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/town_e2e.cpp)
target_link_libraries(town_e2e_tests PRIVATE e2e_harness GTest::gtest_main)
add_dependencies(town_e2e_tests stackrise lumen)
target_compile_definitions(town_e2e_tests PRIVATE STACKRISE_EXE="$<TARGET_FILE:stackrise>")
gtest_discover_tests(town_e2e_tests TEST_PREFIX "e2e.town." DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
