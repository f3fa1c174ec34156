# The base form of the full-size windows, with the toolbar glyphs compiled in.
qt_add_resources(base_form_resources ${PROJECT_SOURCE_DIR}/resources/glyphs.qrc)
add_library(base_form STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Base.h
  ${CMAKE_CURRENT_LIST_DIR}/Base.cpp
  ${CMAKE_CURRENT_LIST_DIR}/modal_form.h
  ${CMAKE_CURRENT_LIST_DIR}/modal_form.cpp
  ${base_form_resources})
set_target_properties(base_form PROPERTIES AUTOMOC ON)
target_include_directories(base_form PUBLIC ${CMAKE_CURRENT_LIST_DIR})
# Base.h shows the toolbar buttons and the window styles; the handler guard
# and the fonts are its own affair.
target_link_libraries(base_form PUBLIC speed_button getsetting Qt6::Widgets PRIVATE ui)
