# Placement settings: the settings file applied to forms.
add_executable(settings_tests ${CMAKE_CURRENT_LIST_DIR}/settings_tests.cpp)
target_link_libraries(settings_tests PRIVATE getsetting qt_test_main GTest::gtest)
gtest_discover_tests(settings_tests DISCOVERY_MODE PRE_TEST)
