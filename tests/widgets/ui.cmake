# Tests of the user-interface services and their test hooks.
add_executable(ui_tests ${CMAKE_CURRENT_LIST_DIR}/ui_tests.cpp)
target_link_libraries(ui_tests PRIVATE ui qt_test_main Qt6::Test GTest::gtest)
set_target_properties(ui_tests PROPERTIES AUTOMOC ON)
gtest_discover_tests(ui_tests DISCOVERY_TIMEOUT 60)
