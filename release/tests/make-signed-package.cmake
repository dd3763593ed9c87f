# cmake -DCPACK=... -DOSSLSIGNCODE=... -DCONFIG=<CPackConfig.cmake> -DOUT=<dir> -DPACKAGE=<runtime zip>
#       -DCHAIN=<chain.crt> -DKEY=<leaf.key> -DFILES=a,b,... -P make-signed-package.cmake
#
# Packages the release into OUT with signing switched on through the
# environment, as a release build would, and unpacks the runtime package into
# OUT/unpacked. Fails unless the package holds exactly FILES.
cmake_minimum_required(VERSION 3.25)

string(REPLACE "," ";" FILES "${FILES}")
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}/unpacked")
set(ENV{QAR_SIGN_CHAIN} "${CHAIN}")
set(ENV{QAR_SIGN_KEY} "${KEY}")
unset(ENV{QAR_SIGN_TIMESTAMP_URL})
unset(ENV{QAR_SIGN_PASSWORD_FILE})
execute_process(COMMAND "${CPACK}" --config "${CONFIG}" -B "${OUT}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT EXISTS "${OUT}/${PACKAGE}")
  message(FATAL_ERROR "cpack with signing failed:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${OUT}/${PACKAGE}"
  WORKING_DIRECTORY "${OUT}/unpacked" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not unpack ${OUT}/${PACKAGE}")
endif()
file(GLOB_RECURSE content RELATIVE "${OUT}/unpacked" "${OUT}/unpacked/*")
list(SORT content)
set(expected ${FILES})
list(SORT expected)
if(NOT content STREQUAL expected)
  message(FATAL_ERROR "${PACKAGE} holds\n  ${content}\nexpected exactly\n  ${expected}")
endif()
# Each carries a signature (whether Windows trusts it is the Wine test's part).
foreach(name IN LISTS content)
  execute_process(COMMAND "${OSSLSIGNCODE}" extract-signature -in "${OUT}/unpacked/${name}" -out "${OUT}/${name}.p7"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${name} in ${PACKAGE} carries no signature:\n${out}")
  endif()
endforeach()
message(STATUS "${PACKAGE}: ${content}, each signed")
