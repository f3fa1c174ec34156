# What every form test links: the seeded in-process server and the main form runner.
add_library(form_fixture STATIC ${CMAKE_CURRENT_LIST_DIR}/form_fixture.cpp ${CMAKE_CURRENT_LIST_DIR}/form_fixture.h)
target_include_directories(form_fixture PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(form_fixture PUBLIC saleplan_forms remote_inprocess server_fixture GTest::gtest)
