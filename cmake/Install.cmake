# Where an installation puts things (GNU layout), the version header, and the
# install rules of the two programs, the module and its data files.
include(GNUInstallDirs)

# The installed data folder and module, compiled into the host and the module
# so that an installed copy finds its files without being told.
set(SALEPLAN_DATA_DIR "${CMAKE_INSTALL_DATADIR}/saleplan")
set(SALEPLAN_FULL_DATA_DIR "${CMAKE_INSTALL_FULL_DATADIR}/saleplan")

set(SALEPLAN_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
add_custom_target(saleplan_version_header
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DOUTPUT=${SALEPLAN_GENERATED_DIR}/saleplan_version.h -DVERSION=${PROJECT_VERSION}
          -P ${PROJECT_SOURCE_DIR}/cmake/version.cmake
  BYPRODUCTS ${SALEPLAN_GENERATED_DIR}/saleplan_version.h
  COMMENT "" VERBATIM)
add_library(saleplan_version INTERFACE)
target_include_directories(saleplan_version INTERFACE ${SALEPLAN_GENERATED_DIR})
add_dependencies(saleplan_version saleplan_version_header)
target_compile_definitions(saleplan_version INTERFACE
  SALEPLAN_INSTALL_LIBDIR="${CMAKE_INSTALL_FULL_LIBDIR}"
  SALEPLAN_INSTALL_REL_LIBDIR="${CMAKE_INSTALL_LIBDIR}"
  SALEPLAN_INSTALL_DATADIR="${SALEPLAN_FULL_DATA_DIR}"
  SALEPLAN_INSTALL_REL_DATADIR="${SALEPLAN_DATA_DIR}"
  SALEPLAN_INSTALL_SYSCONFDIR="${CMAKE_INSTALL_FULL_SYSCONFDIR}")

# Called once every target exists (from the top-level CMakeLists).
function(saleplan_install_rules)
  install(TARGETS vendrix-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/vendrix-server.conf
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/saleplan COMPONENT server)
  # Debian 12 keeps system units under /lib; another prefix keeps its own.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(unit_dir /lib/systemd/system)
  else()
    set(unit_dir lib/systemd/system)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/vendrix-server.service DESTINATION ${unit_dir} COMPONENT server)
  install(FILES ${PROJECT_SOURCE_DIR}/appserver/README.md
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/saleplan-server COMPONENT server)

  install(TARGETS mis-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
  install(TARGETS saleplan LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/fxyyxszb.frf DESTINATION ${SALEPLAN_DATA_DIR} COMPONENT desktop)
  file(GLOB glyphs ${PROJECT_SOURCE_DIR}/resources/glyphs/*.bmp)
  install(FILES ${glyphs} DESTINATION ${SALEPLAN_DATA_DIR}/glyphs COMPONENT desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/saleplan.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/report_template.md
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/saleplan-desktop COMPONENT desktop)
endfunction()
