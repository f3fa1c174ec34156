# 打印 on the main form: the printout rendered to PDF and read back with
# pdftotext, the template cases, the preview.
add_executable(printout_tests ${CMAKE_CURRENT_LIST_DIR}/printout_tests.cpp)
target_link_libraries(printout_tests PRIVATE form_fixture qt_test_main GTest::gtest Qt6::Test)
target_compile_definitions(printout_tests PRIVATE
  PLAN_REPORT_TEMPLATE="${PROJECT_SOURCE_DIR}/resources/fxyyxszb.frf")
gtest_discover_tests(printout_tests DISCOVERY_MODE PRE_TEST)
