# The flat tool button of the form toolbars.
add_library(speed_button STATIC
  ${CMAKE_CURRENT_LIST_DIR}/TFlatSpeedButton.h
  ${CMAKE_CURRENT_LIST_DIR}/TFlatSpeedButton.cpp)
set_target_properties(speed_button PROPERTIES AUTOMOC ON)
target_include_directories(speed_button PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(speed_button PUBLIC Qt6::Widgets)
