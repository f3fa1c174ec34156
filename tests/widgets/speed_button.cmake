# The flat speed button on its own.
add_executable(speed_button_tests ${CMAKE_CURRENT_LIST_DIR}/speed_button_tests.cpp)
target_link_libraries(speed_button_tests PRIVATE speed_button qt_test_main GTest::gtest Qt6::Test)
gtest_discover_tests(speed_button_tests DISCOVERY_MODE PRE_TEST)
