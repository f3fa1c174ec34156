add_executable(main_form_tests ${CMAKE_CURRENT_LIST_DIR}/main_form_tests.cpp)
target_link_libraries(main_form_tests PRIVATE form_fixture qt_test_main Qt6::Test)
gtest_discover_tests(main_form_tests DISCOVERY_TIMEOUT 60)
