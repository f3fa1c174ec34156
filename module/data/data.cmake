# The module's state and its data layer: a library of its own so the tests
# can use it without the forms.
add_library(plandata STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Unit_dmYearplan.cpp ${CMAKE_CURRENT_LIST_DIR}/Unit_dmYearplan.h
  ${CMAKE_CURRENT_LIST_DIR}/plan_vocabulary.cpp ${CMAKE_CURRENT_LIST_DIR}/plan_vocabulary.h
  ${CMAKE_CURRENT_LIST_DIR}/quantity_checks.cpp ${CMAKE_CURRENT_LIST_DIR}/quantity_checks.h
  ${CMAKE_CURRENT_LIST_DIR}/board_model.cpp ${CMAKE_CURRENT_LIST_DIR}/board_model.h
  ${CMAKE_CURRENT_LIST_DIR}/board_source.cpp ${CMAKE_CURRENT_LIST_DIR}/board_source.h
  ${CMAKE_CURRENT_LIST_DIR}/month_state.cpp ${CMAKE_CURRENT_LIST_DIR}/month_state.h
  ${CMAKE_CURRENT_LIST_DIR}/actuals.cpp ${CMAKE_CURRENT_LIST_DIR}/actuals.h
  ${CMAKE_CURRENT_LIST_DIR}/allocation_calls.cpp ${CMAKE_CURRENT_LIST_DIR}/allocation_calls.h
  ${CMAKE_CURRENT_SOURCE_DIR}/entry/module_state.cpp ${CMAKE_CURRENT_SOURCE_DIR}/entry/module_state.h)
target_include_directories(plandata PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/entry)
target_link_libraries(plandata PUBLIC dataset remote allocation Qt6::Core PRIVATE message_box_flags)

# The board and a salesman's plan as spreadsheets (.xlsx, CSV), and a sheet
# read back against the board.
add_library(plansheets STATIC
  ${CMAKE_CURRENT_LIST_DIR}/sheet_export.cpp ${CMAKE_CURRENT_LIST_DIR}/sheet_export.h
  ${CMAKE_CURRENT_LIST_DIR}/sheet_import.cpp ${CMAKE_CURRENT_LIST_DIR}/sheet_import.h)
target_include_directories(plansheets PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(plansheets PUBLIC plandata PRIVATE sheet_reader PkgConfig::XLSXWRITER)
