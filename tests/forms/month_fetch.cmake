add_executable(month_fetch_tests ${CMAKE_CURRENT_LIST_DIR}/month_fetch_tests.cpp)
target_link_libraries(month_fetch_tests PRIVATE form_fixture qt_test_main Qt6::Test)
gtest_discover_tests(month_fetch_tests DISCOVERY_TIMEOUT 60)
