# Every library comes from Debian's packages; scripts/bootstrap installs them.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(GTest REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(PostgreSQL REQUIRED)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets PrintSupport Test)
# The board's chart of plan and actual sales.
find_package(Qt6 REQUIRED COMPONENTS Charts)

pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
# The application server's HTTP layer: one event loop for every client connection.
pkg_check_modules(MHD REQUIRED IMPORTED_TARGET libmicrohttpd)
pkg_check_modules(INIREADER REQUIRED IMPORTED_TARGET INIReader)
# Password hashes, tokens and session ids of the application server.
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
# Readiness and stop notices to systemd (Type=notify).
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)

# Header-only report template library.
find_path(MUSTACHE_INCLUDE_DIR kainjow/mustache.hpp REQUIRED)

find_package(benchmark REQUIRED)

set(CMAKE_AUTOMOC OFF)

# Spreadsheets written by the board's and the main form's export.
pkg_check_modules(XLSXWRITER REQUIRED IMPORTED_TARGET xlsxwriter)
