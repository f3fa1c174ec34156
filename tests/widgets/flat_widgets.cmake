# Tests of the flat combo box, the anti-aliased label and the date picker.
add_executable(flat_widgets_tests ${CMAKE_CURRENT_LIST_DIR}/flat_widgets_tests.cpp)
target_link_libraries(flat_widgets_tests PRIVATE flat_widgets qt_test_main Qt6::Test GTest::gtest)
set_target_properties(flat_widgets_tests PROPERTIES AUTOMOC ON)
gtest_discover_tests(flat_widgets_tests DISCOVERY_TIMEOUT 60)
