# The board's helpers 分配剩余 and 沿用上月 driven from the board: preview,
# 取消, 确定, the audit records, a refused apply after another planner's save.
add_executable(board_helper_tests ${CMAKE_CURRENT_LIST_DIR}/board_helper_tests.cpp)
target_link_libraries(board_helper_tests PRIVATE form_fixture qt_test_main GTest::gtest Qt6::Test)
gtest_discover_tests(board_helper_tests DISCOVERY_MODE PRE_TEST)
