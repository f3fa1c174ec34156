# The forms and the entry sequence as a static library (the tests link it),
# and libsaleplan.so around it, exporting nothing but showdll.
set(saleplan_form_sources
  forms/Unit_saleplan.cpp forms/Unit_saleplan.h forms/Unit_saleplan_commands.cpp forms/plan_commands.h
  forms/Unit_Inputtime.cpp forms/Unit_Inputtime.h
  forms/Unit_edit.cpp forms/Unit_edit.h
  forms/Unit_board.cpp forms/Unit_board.h forms/board_grid.cpp forms/board_grid.h
  forms/board_commands.cpp forms/board_commands.h forms/board_print.cpp forms/board_generate.cpp
  forms/saleplan_month_lock.cpp forms/board_state.cpp
  forms/combo_list.h forms/form_support.h forms/form_support.cpp
  forms/board_completion.cpp forms/board_completion.h
  forms/board_preview.cpp forms/board_preview.h forms/board_allocate.cpp forms/board_roll_forward.cpp
  forms/board_sheets.cpp forms/sheet_files.cpp forms/sheet_files.h forms/saleplan_export.cpp)
list(TRANSFORM saleplan_form_sources PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
# The board's printout template, built in for when no file of it is found.
qt_add_resources(saleplan_report_resources ${PROJECT_SOURCE_DIR}/resources/reports.qrc)
add_library(saleplan_forms STATIC
  ${saleplan_form_sources} ${saleplan_report_resources}
  ${CMAKE_CURRENT_LIST_DIR}/entry/module_entry.cpp ${CMAKE_CURRENT_LIST_DIR}/entry/module_entry.h)
set_target_properties(saleplan_forms PROPERTIES AUTOMOC ON)
target_include_directories(saleplan_forms PUBLIC ${CMAKE_CURRENT_LIST_DIR}/forms ${CMAKE_CURRENT_LIST_DIR}/entry)
# What the forms' users reach through them: the data module, the base form,
# the widgets and the report the forms hold as members, the settings reader,
# and the message boxes and modal windows they are driven through.
target_link_libraries(saleplan_forms PUBLIC plandata base_form widgets ui report getsetting Qt6::Widgets Qt6::Charts)
target_link_libraries(saleplan_forms PUBLIC plansheets sheet_reader)

add_library(saleplan SHARED ${CMAKE_CURRENT_LIST_DIR}/entry/showdll.cpp)
target_link_libraries(saleplan PRIVATE saleplan_forms)
set_target_properties(saleplan PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
  LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/entry/exports.map)
target_link_options(saleplan PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/entry/exports.map -Wl,--exclude-libs,ALL -Wl,--no-undefined)
