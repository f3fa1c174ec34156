add_executable(entry_tests ${CMAKE_CURRENT_LIST_DIR}/entry_tests.cpp)
target_link_libraries(entry_tests PRIVATE saleplan_forms server_fixture qt_test_main ${CMAKE_DL_LIBS})
target_compile_definitions(entry_tests PRIVATE SALEPLAN_LIBRARY="$<TARGET_FILE:saleplan>")
add_dependencies(entry_tests saleplan vendrix-server)
gtest_discover_tests(entry_tests DISCOVERY_TIMEOUT 60)

add_executable(host_tests ${CMAKE_CURRENT_LIST_DIR}/host_tests.cpp)
target_link_libraries(host_tests PRIVATE server_fixture Qt6::Gui GTest::gtest_main)
target_compile_definitions(host_tests PRIVATE
  MIS_HOST="$<TARGET_FILE:mis-host>"
  SALEPLAN_LIBRARY="$<TARGET_FILE:saleplan>"
  OTHER_LIBRARY="${SQLite3_LIBRARIES}")
add_dependencies(host_tests mis-host saleplan vendrix-server)
gtest_discover_tests(host_tests DISCOVERY_TIMEOUT 60)
