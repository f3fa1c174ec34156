# Flat combo box, anti-aliased label and date picker.
add_library(flat_widgets STATIC
  ${CMAKE_CURRENT_LIST_DIR}/TFlatComboBox.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TFlatComboBox.h
  ${CMAKE_CURRENT_LIST_DIR}/TAALinkLabel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TAALinkLabel.h
  ${CMAKE_CURRENT_LIST_DIR}/TDateTimePicker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TDateTimePicker.h)
target_include_directories(flat_widgets PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(flat_widgets PUBLIC Qt6::Widgets)
set_target_properties(flat_widgets PROPERTIES AUTOMOC ON)
