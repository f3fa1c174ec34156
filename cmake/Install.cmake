# Where an installation puts things (GNU layout), the version header, and the
# install rules of the two programs, the module and its data files.
include(GNUInstallDirs)

# The installed data folder and module, compiled into the host and the module
# so that an installed copy finds its files without being told. The module is
# loaded by the host only, so it lives in a private folder (on Debian
# /usr/lib/x86_64-linux-gnu/saleplan), not among the system's shared
# libraries: no ldconfig, no soname to keep.
set(SALEPLAN_DATA_DIR "${CMAKE_INSTALL_DATADIR}/saleplan")
set(SALEPLAN_FULL_DATA_DIR "${CMAKE_INSTALL_FULL_DATADIR}/saleplan")
set(SALEPLAN_MODULE_DIR "${CMAKE_INSTALL_LIBDIR}/saleplan")
set(SALEPLAN_FULL_MODULE_DIR "${CMAKE_INSTALL_FULL_LIBDIR}/saleplan")

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
  SALEPLAN_INSTALL_MODULEDIR="${SALEPLAN_FULL_MODULE_DIR}"
  SALEPLAN_INSTALL_REL_MODULEDIR="${SALEPLAN_MODULE_DIR}"
  SALEPLAN_INSTALL_DATADIR="${SALEPLAN_FULL_DATA_DIR}"
  SALEPLAN_INSTALL_REL_DATADIR="${SALEPLAN_DATA_DIR}"
  SALEPLAN_INSTALL_SYSCONFDIR="${CMAKE_INSTALL_FULL_SYSCONFDIR}")

# What Debian keeps beside the programs: the changelog and the man pages,
# compressed as dpkg expects them (gzip -9n: no name, no time stamp). The
# changelog's newest entry must be this version.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^saleplan \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the newest entry is not version ${PROJECT_VERSION}: ${changelog_top}")
endif()
set(SALEPLAN_PACKAGE_DOCS_DIR "${CMAKE_BINARY_DIR}/package-docs")
set(package_docs)
foreach(pair "changelog:changelog.gz" "man/vendrix-server.1:vendrix-server.1.gz" "man/mis-host.1:mis-host.1.gz")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  add_custom_command(OUTPUT ${SALEPLAN_PACKAGE_DOCS_DIR}/${to}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SALEPLAN_PACKAGE_DOCS_DIR}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/${from} > ${SALEPLAN_PACKAGE_DOCS_DIR}/${to}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/${from} VERBATIM)
  list(APPEND package_docs ${SALEPLAN_PACKAGE_DOCS_DIR}/${to})
endforeach()
add_custom_target(package_docs ALL DEPENDS ${package_docs})

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
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/logrotate/saleplan-server
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d COMPONENT server)
  install(FILES ${PROJECT_SOURCE_DIR}/appserver/README.md ${PROJECT_SOURCE_DIR}/docs/deployment.md
                ${PROJECT_SOURCE_DIR}/docs/haproxy-vendrix.cfg ${PROJECT_SOURCE_DIR}/packaging/copyright
                ${SALEPLAN_PACKAGE_DOCS_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/saleplan-server COMPONENT server)
  install(FILES ${SALEPLAN_PACKAGE_DOCS_DIR}/vendrix-server.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)

  install(TARGETS mis-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
  install(TARGETS saleplan LIBRARY DESTINATION ${SALEPLAN_MODULE_DIR} COMPONENT desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/fxyyxszb.frf ${PROJECT_SOURCE_DIR}/resources/bmjhfp.frf
          DESTINATION ${SALEPLAN_DATA_DIR} COMPONENT desktop)
  file(GLOB glyphs ${PROJECT_SOURCE_DIR}/resources/glyphs/*.bmp)
  install(FILES ${glyphs} DESTINATION ${SALEPLAN_DATA_DIR}/glyphs COMPONENT desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/saleplan.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/report_template.md
                ${PROJECT_SOURCE_DIR}/packaging/copyright ${SALEPLAN_PACKAGE_DOCS_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/saleplan-desktop COMPONENT desktop)
  install(FILES ${SALEPLAN_PACKAGE_DOCS_DIR}/mis-host.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
endfunction()
