# Builds one target of an already configured build tree and checks the outcome:
#   cmake -DBUILD_DIR=<dir> -DTARGET=<target> -DEXPECT=fail|pass [-DPATTERN=<regex>] -P ExpectBuild.cmake
# With EXPECT=fail the build must fail and its output must match PATTERN, so a
# target that fails for some other reason (a broken set-up) does not count as
# the failure that was asked for.
execute_process(
  COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${TARGET}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(EXPECT STREQUAL "pass")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${TARGET} should build but failed:\n${output}")
  endif()
elseif(result EQUAL 0)
  message(FATAL_ERROR "${TARGET} should fail to build but built")
elseif(NOT output MATCHES "${PATTERN}")
  message(FATAL_ERROR "${TARGET} failed, but not with an error matching '${PATTERN}':\n${output}")
else()
  message(STATUS "${TARGET} failed to build, as it should")
endif()
