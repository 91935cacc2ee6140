# Every third-party library the project links, found once here so that each
# library directory only names the imported targets it needs.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(CURL REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(PROTOBUFC REQUIRED IMPORTED_TARGET libprotobuf-c)
find_package(simdjson REQUIRED)
find_program(PROTOC_C_EXECUTABLE NAMES protoc-c REQUIRED)
find_program(PROTOC_EXECUTABLE NAMES protoc)

if(KP_BUILD_TESTS OR KP_BUILD_BENCH)
  find_package(GTest REQUIRED)
  # The loopback test server; Debian builds it as a shared library.
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
endif()
if(KP_BUILD_BENCH)
  find_package(benchmark REQUIRED)
  find_package(nlohmann_json REQUIRED)
endif()
