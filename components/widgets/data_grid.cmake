# The data grid: a table view over a client dataset with a summary footer.
add_library(data_grid STATIC
  ${CMAKE_CURRENT_LIST_DIR}/TdxDBGrid.h
  ${CMAKE_CURRENT_LIST_DIR}/TdxDBGrid.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dataset_table_model.h
  ${CMAKE_CURRENT_LIST_DIR}/dataset_table_model.cpp
  ${CMAKE_CURRENT_LIST_DIR}/grid_footer.h
  ${CMAKE_CURRENT_LIST_DIR}/grid_footer.cpp)
set_target_properties(data_grid PROPERTIES AUTOMOC ON)
target_include_directories(data_grid PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(data_grid PUBLIC Qt6::Widgets dataset)
