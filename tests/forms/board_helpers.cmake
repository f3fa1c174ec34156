# The board's helpers 分配剩余 and 沿用上月 driven from the board: preview,
# 取消, 确定, the audit records, a refused apply after another planner's save.
add_executable(board_helper_tests ${CMAKE_CURRENT_LIST_DIR}/board_helper_tests.cpp)
target_link_libraries(board_helper_tests PRIVATE form_fixture qt_test_main GTest::gtest Qt6::Test)
gtest_discover_tests(board_helper_tests DISCOVERY_MODE PRE_TEST)

# 导出 and 导入 on the board, 导出 on the main form.
add_executable(sheet_board_tests ${CMAKE_CURRENT_LIST_DIR}/sheet_board_tests.cpp)
target_link_libraries(sheet_board_tests PRIVATE form_fixture qt_test_main GTest::gtest Qt6::Test)
target_compile_definitions(sheet_board_tests PRIVATE OPENPYXL_EDIT="${CMAKE_CURRENT_LIST_DIR}/edit_with_openpyxl.py")
gtest_discover_tests(sheet_board_tests DISCOVERY_MODE PRE_TEST)
