# Helpers that give every library, test, benchmark and fuzz target of the
# project the same flags.
#
#   kp_library(<name> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
#       A static library for one directory of src/. Its public include root is
#       src/, so headers are included as "platform/foundation/Value.h".
#   kp_test(<name> SOURCES ... [DEPS ...] [LABELS ...])
#       A GoogleTest executable whose tests are registered with CTest one by one.
#       List "concurrent" among the labels of concurrent layers: the
#       ThreadSanitizer run takes exactly those tests.
#   kp_bench(<name> SOURCES ... [DEPS ...])
#   kp_fuzz(<name> SOURCES ... [DEPS ...] CORPUS <dir>)
#       Always builds <name>_corpus, which replays every file of the corpus
#       through the fuzz entry point and is registered as a test; with KP_FUZZ
#       (clang) it also builds the libFuzzer binary <name>.

set(KP_WARNINGS -Wall -Wextra -Werror)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # gcc 12 reports false -Wrestrict overlaps inside libstdc++'s string
  # concatenation at -O2 and above (fixed in gcc 13).
  list(APPEND KP_WARNINGS -Wno-restrict)
endif()

function(kp_apply_sanitizers target)
  if(KP_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=${KP_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${KP_SANITIZE})
  endif()
endfunction()

function(kp_common target)
  target_compile_options(${target} PRIVATE ${KP_WARNINGS})
  kp_apply_sanitizers(${target})
endfunction()

function(kp_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads PRIVATE ${ARG_PRIVATE_DEPS})
  kp_common(${name})
endfunction()

function(kp_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  # The ThreadSanitizer build only runs the concurrent layers' tests: the other
  # executables stay declared (so directories may still set their properties)
  # but are neither built by default nor registered.
  if(KP_SANITIZE STREQUAL "thread" AND NOT "concurrent" IN_LIST ARG_LABELS)
    add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  kp_common(${name})
  # The discovery script cannot carry a list of labels, so each test gets one:
  # "concurrent" when listed (the ThreadSanitizer run selects it), else the first.
  if("concurrent" IN_LIST ARG_LABELS)
    set(label concurrent)
  elseif(ARG_LABELS)
    list(GET ARG_LABELS 0 label)
  else()
    set(label ${name})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES LABELS ${label} TIMEOUT 120)
endfunction()

function(kp_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
  kp_common(${name})
endfunction()

function(kp_fuzz name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;DEPS" ${ARGN})
  set(exclude "")
  if(KP_SANITIZE STREQUAL "thread")
    set(exclude EXCLUDE_FROM_ALL)
  endif()
  add_executable(${name}_corpus ${exclude} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/fuzz/CorpusRunner.cpp)
  target_include_directories(${name}_corpus PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name}_corpus PRIVATE ${ARG_DEPS})
  kp_common(${name}_corpus)
  if(KP_BUILD_TESTS AND NOT exclude)
    add_test(NAME ${name}_corpus COMMAND ${name}_corpus ${ARG_CORPUS})
  endif()
  if(KP_FUZZ)
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined ${KP_WARNINGS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  endif()
endfunction()

# Adds every listed subdirectory that exists yet, so that directories can be
# listed before the work that fills them lands.
function(kp_add_existing_subdirectories)
  foreach(dir ${ARGN})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
