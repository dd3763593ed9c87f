# Every test carries a CTest label saying what it needs, so that a run picks
# what this machine can run (ctest -L <label>, ctest -LE <label>):
#   host        checks on the build machine itself (objdump, cmake, bash): no Wine
#   wine        programs run under Wine: each GoogleTest case, the benchmarks' short runs
#   gui         Wine tests that make windows: they need an X display
#               (scripts/test.sh runs one Xvfb for the whole run)
#   robustness  fuzz targets, sweeps and soaks (qar_add_wine_test LABELS)
#
# CTest lists a GoogleTest program's cases by running the program under Wine
# when it starts (DISCOVERY_MODE PRE_TEST), and stops when a program does not
# run. Where Wine cannot run this target's programs, the environment variable
# QAR_WITHOUT_WINE leaves them unlisted, so that
#     QAR_WITHOUT_WINE=1 ctest --preset i686 -L host
# runs the host checks alone without configuring again.

# qar_add_host_check(<name> COMMAND <command> [<arg>...])
function(qar_add_host_check name)
  add_test(NAME ${name} ${ARGN})
  set_tests_properties(${name} PROPERTIES LABELS host)
endfunction()

# qar_add_wine_run(<name> COMMAND <program target> [<arg>...])
# A test program run as one test under Wine (the crosscompiling emulator).
function(qar_add_wine_run name)
  add_test(NAME ${name} ${ARGN})
  set_tests_properties(${name} PROPERTIES LABELS wine)
endfunction()

# qar_discover_wine_tests(<target> [LABELS <label>...] [PROPERTIES <name> <value>...])
# Each GoogleTest case of <target> becomes a CTest test "<target>.<case>",
# labelled wine and LABELS, listed when CTest starts unless QAR_WITHOUT_WINE
# is set.
function(qar_discover_wine_tests target)
  cmake_parse_arguments(ARG "" "" "LABELS;PROPERTIES" ${ARGN})
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    TEST_PREFIX "${target}."
    TEST_LIST ${target}_TESTS
    PROPERTIES ${ARG_PROPERTIES})
  # gtest_discover_tests flattens PROPERTIES into one list, which would split
  # several labels; the labels go on once the cases are listed.
  get_property(includes DIRECTORY PROPERTY TEST_INCLUDE_FILES)
  list(POP_BACK includes listing)
  set(labels wine ${ARG_LABELS})
  set(guarded "${CMAKE_CURRENT_BINARY_DIR}/${target}_wine_tests.cmake")
  file(CONFIGURE OUTPUT "${guarded}" CONTENT [=[
if(NOT DEFINED ENV{QAR_WITHOUT_WINE})
  include("@listing@")
  foreach(test IN LISTS @target@_TESTS)
    set_tests_properties("${test}" PROPERTIES LABELS "@labels@")
  endforeach()
endif()
]=] @ONLY)
  list(APPEND includes "${guarded}")
  set_property(DIRECTORY PROPERTY TEST_INCLUDE_FILES "${includes}")
endfunction()
