# The quantity editor and the main form's 编辑 against the seeded server.
add_executable(editor_tests ${CMAKE_CURRENT_LIST_DIR}/editor_tests.cpp)
target_link_libraries(editor_tests PRIVATE form_fixture qt_test_main Qt6::Test)
gtest_discover_tests(editor_tests DISCOVERY_TIMEOUT 60)

# The editor on the demo database, saved as a picture (not a test).
add_executable(editor_sample ${CMAKE_CURRENT_LIST_DIR}/editor_sample.cpp)
target_link_libraries(editor_sample PRIVATE saleplan_forms remote_inprocess server_fixture)

# The print preview and its save-as dialog, photographed (not a test).
add_executable(printout_sample ${CMAKE_CURRENT_LIST_DIR}/printout_sample.cpp)
target_link_libraries(printout_sample PRIVATE saleplan_forms remote_inprocess server_fixture)
