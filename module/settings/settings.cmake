# Form placement settings (the site-wide settings file).
add_library(getsetting STATIC
  ${CMAKE_CURRENT_LIST_DIR}/form_styles.h
  ${CMAKE_CURRENT_LIST_DIR}/unit_getsetting.h
  ${CMAKE_CURRENT_LIST_DIR}/unit_getsetting.cpp)
target_include_directories(getsetting PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(getsetting PUBLIC Qt6::Widgets PRIVATE PkgConfig::INIREADER)
