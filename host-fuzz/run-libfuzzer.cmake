# Runs one host libFuzzer target for a fixed number of inputs from its seed
# corpus and prints the figures line of the robustness runs:
#   ROBUSTNESS <name> libfuzzer inputs=<n> crashes=<n> overreads=0 leaks=0
# (appended to QAR_ROBUSTNESS_REPORT when set, a Unix path or Z:\...). QAR_FUZZ_INPUTS and
# QAR_FUZZ_SEED from the environment override INPUTS and the fixed seed.
# cmake -DFUZZER=... -DCORPUS_WRITER=... -DNAME=... -DWORK_DIR=... -DINPUTS=... -DMAX_LEN=... -P run-libfuzzer.cmake
foreach(var FUZZER CORPUS_WRITER NAME WORK_DIR INPUTS MAX_LEN)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run-libfuzzer.cmake: ${var} is not set")
  endif()
endforeach()
foreach(program FUZZER CORPUS_WRITER)
  if(NOT EXISTS "${${program}}")
    message(FATAL_ERROR "${${program}} does not exist: the host fuzz sub-build (target qar_host_fuzz) did not build it")
  endif()
endforeach()

set(inputs ${INPUTS})
if(DEFINED ENV{QAR_FUZZ_INPUTS} AND "$ENV{QAR_FUZZ_INPUTS}" MATCHES "^[1-9][0-9]*$")
  set(inputs $ENV{QAR_FUZZ_INPUTS})
endif()
set(seed 20261210)
if(DEFINED ENV{QAR_FUZZ_SEED} AND "$ENV{QAR_FUZZ_SEED}" MATCHES "^[0-9]+$")
  set(seed $ENV{QAR_FUZZ_SEED})
endif()
# libFuzzer's seed is an unsigned 32-bit number; 0 would mean "pick one".
string(LENGTH "${seed}" digits)
if(digits GREATER 18)
  string(SUBSTRING "${seed}" 0 18 seed)
endif()
math(EXPR seed "${seed} % 4294967296")
if(seed EQUAL 0)
  set(seed 1)
endif()

# The report file may be named as the Wine targets see it (Z:\...).
set(report "")
if(DEFINED ENV{QAR_ROBUSTNESS_REPORT})
  set(report "$ENV{QAR_ROBUSTNESS_REPORT}")
  if(report MATCHES "^[Zz]:[\\/]")
    string(SUBSTRING "${report}" 2 -1 report)
    string(REPLACE "\\" "/" report "${report}")
  endif()
endif()

# The seed corpus afresh, and an empty folder for what libFuzzer adds, so
# that every run starts from the same inputs.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/seeds" "${WORK_DIR}/found" "${WORK_DIR}/artifacts")
execute_process(COMMAND "${CORPUS_WRITER}" "${WORK_DIR}/seeds" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${CORPUS_WRITER} failed (${rc})")
endif()

execute_process(
  COMMAND "${FUZZER}" -runs=${inputs} -seed=${seed} -max_len=${MAX_LEN} -print_final_stats=1
          -artifact_prefix=${WORK_DIR}/artifacts/ "${WORK_DIR}/found" "${WORK_DIR}/seeds"
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE out)
string(REGEX MATCH "stat::number_of_executed_units: *([0-9]+)" ran "${out}")
set(executed ${CMAKE_MATCH_1})
if(NOT rc EQUAL 0 OR NOT executed)
  file(GLOB artifacts "${WORK_DIR}/artifacts/*")
  message("${out}")
  set(overreads 0)
  set(leaks 0)
  if(out MATCHES "ERROR: AddressSanitizer: [a-z-]+overflow.*READ of size")
    set(overreads 1)
  endif()
  if(out MATCHES "ERROR: LeakSanitizer")
    set(leaks 1)
  endif()
  set(line "ROBUSTNESS ${NAME} libfuzzer inputs=${executed} crashes=1 overreads=${overreads} leaks=${leaks} seed=${seed}")
  if(report)
    file(APPEND "${report}" "${line}\n")
  endif()
  message(FATAL_ERROR "${line}\n${FUZZER} failed (${rc}); the input is kept in: ${artifacts}")
endif()
set(line "ROBUSTNESS ${NAME} libfuzzer inputs=${executed} crashes=0 overreads=0 leaks=0")
message("${line}")
if(report)
  file(APPEND "${report}" "${line}\n")
endif()
