# The base form: layout, toolbar, window styles, exit and close; the glyph files.
add_executable(base_form_tests
  ${CMAKE_CURRENT_LIST_DIR}/base_form_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/glyph_tests.cpp)
target_link_libraries(base_form_tests PRIVATE base_form ui getsetting qt_test_main GTest::gtest Qt6::Test)
target_compile_definitions(base_form_tests PRIVATE
  GLYPH_DIR="${PROJECT_SOURCE_DIR}/resources/glyphs")
gtest_discover_tests(base_form_tests DISCOVERY_MODE PRE_TEST)

# A base-derived sample window, for looking at the frame (not a test).
add_executable(base_sample ${CMAKE_CURRENT_LIST_DIR}/base_sample.cpp)
target_link_libraries(base_sample PRIVATE base_form data_grid ui)
