# Plan generation: the generate command, the plan month dialog and the
# generation statement inside the server transaction on SQLite and PostgreSQL.
add_executable(generation_tests ${CMAKE_CURRENT_LIST_DIR}/generation_tests.cpp)
target_link_libraries(generation_tests PRIVATE form_fixture qt_test_main Qt6::Test)
gtest_discover_tests(generation_tests DISCOVERY_TIMEOUT 60)
