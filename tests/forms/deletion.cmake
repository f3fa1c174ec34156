# 删除 and 删行 on the main form against a seeded server.
add_executable(deletion_tests ${CMAKE_CURRENT_LIST_DIR}/deletion_tests.cpp)
target_link_libraries(deletion_tests PRIVATE form_fixture qt_test_main GTest::gtest Qt6::Test)
gtest_discover_tests(deletion_tests DISCOVERY_MODE PRE_TEST)
