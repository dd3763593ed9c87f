# cmake -DCPACK=... -DCONFIG=<CPackConfig.cmake> -DPACKAGE_DIR=... -DDIST_DIR=...
#       -DPACKAGES=<runtime zip>,<debug zip> -DTARGET=<target> -P publish.cmake
#
# Runs CPack, replaces the target's packages in DIST_DIR (whatever version they
# had) with the new ones, and writes DIST_DIR/SHA256SUMS over every package
# there, in the format "sha256sum -c" reads.
cmake_minimum_required(VERSION 3.25)

string(REPLACE "," ";" packages "${PACKAGES}")
foreach(package IN LISTS packages)
  file(REMOVE "${PACKAGE_DIR}/${package}")
endforeach()
execute_process(COMMAND "${CPACK}" --config "${CONFIG}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed")
endif()

file(MAKE_DIRECTORY "${DIST_DIR}")
file(GLOB old "${DIST_DIR}/qar-native-*-${TARGET}.zip" "${DIST_DIR}/qar-native-*-${TARGET}-debug.zip")
if(old)
  file(REMOVE ${old})
endif()
foreach(package IN LISTS packages)
  if(NOT EXISTS "${PACKAGE_DIR}/${package}")
    message(FATAL_ERROR "cpack did not make ${package}")
  endif()
  file(COPY "${PACKAGE_DIR}/${package}" DESTINATION "${DIST_DIR}")
endforeach()

file(GLOB all RELATIVE "${DIST_DIR}" "${DIST_DIR}/qar-native-*.zip")
list(SORT all)
set(sums "")
foreach(package IN LISTS all)
  file(SHA256 "${DIST_DIR}/${package}" hash)
  string(APPEND sums "${hash}  ${package}\n")
endforeach()
file(WRITE "${DIST_DIR}/SHA256SUMS" "${sums}")
message(STATUS "${DIST_DIR}: ${all} and SHA256SUMS")
