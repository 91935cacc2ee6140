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
# The public suffix list, which cookie domains are checked against.
pkg_check_modules(PSL REQUIRED IMPORTED_TARGET libpsl)
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
  # The DOM the JSON benchmarks measure Value against (header-only).
  find_package(RapidJSON REQUIRED)
  add_library(kp_rapidjson INTERFACE)
  target_include_directories(kp_rapidjson SYSTEM INTERFACE ${RAPIDJSON_INCLUDE_DIRS})
endif()

# How an installed library's consumer finds each third-party target a library
# links: FIND gives find_package() arguments for the CMake package, PKG_CONFIG
# the pkg-config module (found with pkg_check_modules for PkgConfig:: targets,
# named in the generated .pc files otherwise), LIBS flags for .pc files when
# there is no module. A library linking a target missing here fails to
# configure, so the installed package never lacks a dependency.
function(kp_external target)
  cmake_parse_arguments(ARG "" "FIND;PKG_CONFIG;LIBS" "" ${ARGN})
  set_property(GLOBAL PROPERTY KP_EXTERNAL_${target} TRUE)
  set_property(GLOBAL PROPERTY KP_EXTERNAL_FIND_${target} "${ARG_FIND}")
  set_property(GLOBAL PROPERTY KP_EXTERNAL_PKG_${target} "${ARG_PKG_CONFIG}")
  set_property(GLOBAL PROPERTY KP_EXTERNAL_LIBS_${target} "${ARG_LIBS}")
endfunction()

kp_external(Threads::Threads FIND "Threads" LIBS "-pthread")
kp_external(SQLite::SQLite3 FIND "SQLite3" PKG_CONFIG sqlite3)
kp_external(ZLIB::ZLIB FIND "ZLIB" PKG_CONFIG zlib)
kp_external(OpenSSL::Crypto FIND "OpenSSL COMPONENTS Crypto" PKG_CONFIG libcrypto)
kp_external(OpenSSL::SSL FIND "OpenSSL COMPONENTS SSL" PKG_CONFIG libssl)
kp_external(CURL::libcurl FIND "CURL" PKG_CONFIG libcurl)
kp_external(ICU::uc FIND "ICU COMPONENTS uc" PKG_CONFIG icu-uc)
kp_external(ICU::i18n FIND "ICU COMPONENTS i18n" PKG_CONFIG icu-i18n)
kp_external(simdjson::simdjson FIND "simdjson" PKG_CONFIG simdjson)
kp_external(PkgConfig::PLIST PKG_CONFIG libplist-2.0)
kp_external(PkgConfig::PROTOBUFC PKG_CONFIG libprotobuf-c)
kp_external(PkgConfig::PSL PKG_CONFIG libpsl)
