# The board (分配 on the main form) against a seeded server: what it shows,
# typing, save, a stale save, generation, browse mode, keys, the printout.
add_executable(board_form_tests ${CMAKE_CURRENT_LIST_DIR}/board_form_tests.cpp)
target_link_libraries(board_form_tests PRIVATE form_fixture qt_test_main GTest::gtest Qt6::Test)
target_compile_definitions(board_form_tests PRIVATE
  BOARD_REPORT_TEMPLATE="${PROJECT_SOURCE_DIR}/resources/bmjhfp.frf")
gtest_discover_tests(board_form_tests DISCOVERY_MODE PRE_TEST)

# The board on the demo database, saved as a picture (not a test).
add_executable(board_sample ${CMAKE_CURRENT_LIST_DIR}/board_sample.cpp)
target_link_libraries(board_sample PRIVATE saleplan_forms remote_inprocess server_fixture)

# 显示完成: actual sales on the board, the chart, and the board's PDF with it.
add_executable(board_completion_tests ${CMAKE_CURRENT_LIST_DIR}/board_completion_tests.cpp)
target_link_libraries(board_completion_tests PRIVATE form_fixture qt_test_main GTest::gtest Qt6::Test Qt6::Charts)
target_compile_definitions(board_completion_tests PRIVATE
  BOARD_REPORT_TEMPLATE="${PROJECT_SOURCE_DIR}/resources/bmjhfp.frf")
gtest_discover_tests(board_completion_tests DISCOVERY_MODE PRE_TEST)

# The board with 显示完成 on the demo database, saved as a picture (not a test).
add_executable(board_actuals_sample ${CMAKE_CURRENT_LIST_DIR}/board_actuals_sample.cpp)
target_link_libraries(board_actuals_sample PRIVATE saleplan_forms remote_inprocess server_fixture Qt6::Test)
