# Two Debian packages through CPack (cpack -G DEB in the build folder, or
# scripts/package): the application server as a system service, and the
# desktop part (module, host, template, glyphs, launcher). Each gets its
# binaries stripped, with the debug symbols in a -dbgsym package beside it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME saleplan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "saleplan")
set(CPACK_PACKAGE_CONTACT "Saleplan maintainers <maintainers@saleplan.example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monthly sales plans of the visit-sales departments")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# Read by cpack before it builds anything: refuses to go on without the tools
# that make the packages right.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/PackagingTools.cmake)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL server desktop)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE saleplan)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME saleplan-server)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
  "application server of the monthly sales plan module\n vendrix-server serves the plan data to the planners' desktops over HTTPS,\n with accounts, roles and an audit trail, on SQLite or PostgreSQL. The\n deployment guide is /usr/share/doc/saleplan-server/deployment.md.")
# deb-systemd-helper and deb-systemd-invoke, called by the maintainer scripts.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "postgresql, haproxy")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/server/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/server/postinst
  ${PROJECT_SOURCE_DIR}/packaging/server/prerm
  ${PROJECT_SOURCE_DIR}/packaging/server/postrm)

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME saleplan-desktop)
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION
  "monthly sales plan module for the management information system\n The module libsaleplan.so, the stand-in host mis-host, the printout\n template and a desktop launcher.")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "fonts-wqy-microhei")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "qt6-translations-l10n")

include(CPack)
