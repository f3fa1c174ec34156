# Tests of the data grid, against a client dataset served from memory.
add_executable(data_grid_tests ${CMAKE_CURRENT_LIST_DIR}/data_grid_tests.cpp)
target_link_libraries(data_grid_tests PRIVATE data_grid qt_test_main Qt6::Test GTest::gtest)
gtest_discover_tests(data_grid_tests DISCOVERY_TIMEOUT 60)
