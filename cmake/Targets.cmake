# Helpers that give every library, test, benchmark and fuzz target of the
# project the same flags and the same include discipline.
#
#   kp_library(<name> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...] [PRIVATE_HEADERS ...])
#       A static library for one directory of src/. Headers are included by
#       their path under src/ ("platform/foundation/Value.h"), but no target
#       sees src/ itself: the library's public headers (every .h of its
#       directory except those under detail/, those listed in PRIVATE_HEADERS
#       and those of subdirectories that are libraries of their own) are staged
#       into build/<preset>/include/<name>/, which is its public include root.
#       Its private headers are staged apart and seen by the library itself and
#       by code under tests/ at the same path (tests/platform/coredata for
#       src/platform/coredata). So including another library's detail/ header,
#       or a header of a library one does not link, fails to compile.
#       DEPS are libraries whose headers the public headers include; libraries
#       used only by the .cpp files are PRIVATE_DEPS.
#       A kp_library outside src/ (test helpers) gets no staged root; its
#       CMake file names its include directory. One under src/ is also
#       installed and exported as Kestrel::<name without "platform_">
#       (cmake/Install.cmake); static unless BUILD_SHARED_LIBS is on.
#   kp_private_include_directories(<library> <dir>...)
#       Adds include directories (generated headers) that only the library and
#       the code allowed to see its private headers may use.
#   kp_test(<name> SOURCES ... [DEPS ...] [LABELS ...] [INTERNALS <library>...])
#       A GoogleTest executable whose tests are registered with CTest one by one.
#       List "concurrent" among the labels of concurrent layers: the
#       ThreadSanitizer run takes exactly those tests. INTERNALS names further
#       libraries whose private headers the test may include.
#   kp_bench(<name> SOURCES ... [DEPS ...])
#   kp_fuzz(<name> SOURCES ... [DEPS ...] CORPUS <dir>)
#       Always builds <name>_corpus, which replays every file of the corpus
#       through the fuzz entry point and is registered as a test; with KP_FUZZ
#       (clang) it also builds the libFuzzer binary <name> (all of them: target
#       "fuzzers") and registers <name>_replay, which runs the corpus through
#       it once (-runs=0), labelled "fuzz".

set(KP_WARNINGS -Wall -Wextra)
if(KP_WARNINGS_AS_ERRORS)
  list(APPEND KP_WARNINGS -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # Checks the GUARDED_BY / REQUIRES annotations (platform/foundation/Mutex.h).
  list(APPEND KP_WARNINGS -Wthread-safety)
endif()
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

set(KP_PUBLIC_HEADER_ROOT ${CMAKE_BINARY_DIR}/include)
set(KP_PRIVATE_HEADER_ROOT ${CMAKE_BINARY_DIR}/include-private)

# Links every header of the library's directory into its public or private
# root, and sets <public_out> to the public ones (relative to the directory:
# what gets installed). Symbolic links keep edits to a header visible without
# reconfiguring; the CONFIGURE_DEPENDS glob reconfigures when a header appears
# or goes away, and the roots are laid anew each time so that no stale header
# survives.
function(kp_stage_headers name path private_headers public_out)
  set(dir ${CMAKE_CURRENT_SOURCE_DIR})
  file(GLOB_RECURSE headers CONFIGURE_DEPENDS RELATIVE ${dir} ${dir}/*.h)
  file(GLOB_RECURSE nested_libraries CONFIGURE_DEPENDS RELATIVE ${dir} ${dir}/*/CMakeLists.txt)
  list(TRANSFORM nested_libraries REPLACE "/CMakeLists.txt$" "/")
  set(public_root ${KP_PUBLIC_HEADER_ROOT}/${name})
  set(private_root ${KP_PRIVATE_HEADER_ROOT}/${name})
  file(REMOVE_RECURSE ${public_root} ${private_root})
  set(public "")
  foreach(header ${headers})
    set(skip FALSE)
    foreach(nested ${nested_libraries})
      string(FIND "${header}" "${nested}" at)
      if(at EQUAL 0)
        set(skip TRUE)
      endif()
    endforeach()
    if(skip)
      continue()
    endif()
    if(header MATCHES "(^|/)detail/" OR header IN_LIST private_headers)
      set(root ${private_root})
    else()
      set(root ${public_root})
      list(APPEND public ${header})
    endif()
    get_filename_component(parent ${root}/${path}/${header} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${dir}/${header} ${root}/${path}/${header} COPY_ON_ERROR SYMBOLIC)
  endforeach()
  file(MAKE_DIRECTORY ${public_root} ${private_root})
  set(${public_out} ${public} PARENT_SCOPE)
endfunction()

function(kp_private_include_directories library)
  target_include_directories(${library} PRIVATE ${ARGN})
  set_property(TARGET ${library} APPEND PROPERTY KP_PRIVATE_INCLUDE_DIRS ${ARGN})
endfunction()

# Lets <target> include the private headers of each listed library.
function(kp_use_internals target)
  foreach(library ${ARGN})
    get_target_property(dirs ${library} KP_PRIVATE_INCLUDE_DIRS)
    if(dirs)
      target_include_directories(${target} PRIVATE ${dirs})
    endif()
  endforeach()
endfunction()

# The library whose private headers code in the current directory may see:
# the one built from src/<path> when the directory is tests/<path>.
function(kp_mirrored_library out)
  set(${out} "" PARENT_SCOPE)
  file(RELATIVE_PATH path ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  if(NOT path MATCHES "^\\.\\.")
    get_property(library GLOBAL PROPERTY KP_LIBRARY_AT_${path})
    set(${out} ${library} PARENT_SCOPE)
  endif()
endfunction()

function(kp_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS;PRIVATE_HEADERS" ${ARGN})
  file(RELATIVE_PATH path ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  if(path MATCHES "^\\.\\.")
    add_library(${name} STATIC ${ARG_SOURCES})
    kp_mirrored_library(mirrored)
    kp_use_internals(${name} ${mirrored})
  else()
    # Static unless BUILD_SHARED_LIBS asks for shared libraries.
    add_library(${name} ${ARG_SOURCES})
    kp_stage_headers(${name} ${path} "${ARG_PRIVATE_HEADERS}" public_headers)
    kp_component_of(component ${name})
    target_include_directories(${name} PUBLIC
      $<BUILD_INTERFACE:${KP_PUBLIC_HEADER_ROOT}/${name}> $<INSTALL_INTERFACE:${KP_INSTALL_INCLUDEDIR}/${component}>)
    kp_private_include_directories(${name} ${KP_PRIVATE_HEADER_ROOT}/${name})
    set_property(GLOBAL PROPERTY KP_LIBRARY_AT_${path} ${name})
    kp_install_library(${name} ${path} "${public_headers}")
  endif()
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads PRIVATE ${ARG_PRIVATE_DEPS})
  kp_common(${name})
endfunction()

function(kp_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;INTERNALS" ${ARGN})
  # The ThreadSanitizer build only builds and runs the concurrent layers'
  # tests: the others stay declared (so directories may still set their
  # properties) but are neither built by default nor registered, which keeps
  # CI's clang pass short.
  set(skipped FALSE)
  set(exclude "")
  if(KP_SANITIZE STREQUAL "thread" AND NOT "concurrent" IN_LIST ARG_LABELS)
    set(skipped TRUE)
    set(exclude EXCLUDE_FROM_ALL)
  endif()
  add_executable(${name} ${exclude} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  kp_mirrored_library(mirrored)
  kp_use_internals(${name} ${mirrored} ${ARG_INTERNALS})
  kp_common(${name})
  if(skipped)
    return()
  endif()
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
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
  kp_common(${name})
endfunction()

if(KP_FUZZ)
  add_custom_target(fuzzers)
endif()

function(kp_fuzz name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;DEPS" ${ARGN})
  add_executable(${name}_corpus ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/fuzz/CorpusRunner.cpp)
  target_include_directories(${name}_corpus PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name}_corpus PRIVATE ${ARG_DEPS})
  kp_common(${name}_corpus)
  if(KP_BUILD_TESTS)
    add_test(NAME ${name}_corpus COMMAND ${name}_corpus ${ARG_CORPUS})
    # The ThreadSanitizer build is CI's clang build: there the replays are
    # clang's compile and run of every fuzz entry point over its corpus.
    if(KP_SANITIZE STREQUAL "thread")
      set_tests_properties(${name}_corpus PROPERTIES LABELS concurrent)
    endif()
  endif()
  if(KP_FUZZ)
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all ${KP_WARNINGS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    add_dependencies(fuzzers ${name})
    if(KP_BUILD_TESTS)
      # One pass over the corpus, no mutation: every input must still run clean.
      add_test(NAME ${name}_replay COMMAND ${name} -runs=0 ${ARG_CORPUS})
      set_tests_properties(${name}_replay PROPERTIES LABELS fuzz)
    endif()
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
