# cmake -DOBJDUMP=... -DFILE=<dll> -DNATIVES=<natives.tsv> -DPOINTER_SIZE=4|8 [-DEXTRA=a,b]
#       -P check-jni-exports.cmake
#
# The DLL's export table must hold exactly the names a VM looks up for the
# natives that javac declared (on 32-bit Windows "_<JNI name>@<bytes>", on
# 64-bit the plain JNI name), plus the EXTRA names.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/pe-tables.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/jni-names.cmake)

# Signatures hold ";" and "[", which CMake lists treat specially; only the
# JNI name and the byte count are needed here.
file(READ "${NATIVES}" text)
string(REPLACE ";" "<semicolon>" text "${text}")
string(REPLACE "[" "<bracket>" text "${text}")
string(REPLACE "\n" ";" rows "${text}")
set(expected "")
foreach(row IN LISTS rows)
  if(row STREQUAL "")
    continue()
  endif()
  string(REPLACE "\t" ";" fields "${row}")
  list(GET fields 3 jni)
  list(GET fields 4 bytes)
  qar_jni_export_name(name "${jni}@${bytes}" ${POINTER_SIZE})
  list(APPEND expected "${name}")
endforeach()
if(EXTRA)
  string(REPLACE "," ";" extra "${EXTRA}")
  list(APPEND expected ${extra})
endif()

qar_pe_dump(${OBJDUMP} ${FILE} dump)
qar_pe_exports("${dump}" actual)

list(SORT expected)
list(SORT actual)
if(NOT actual STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${actual})
  set(unexpected ${actual})
  list(REMOVE_ITEM unexpected ${expected})
  message(FATAL_ERROR "${FILE}: exports differ from the JNI names javac generated\n"
    "  missing:    ${missing}\n  unexpected: ${unexpected}")
endif()
message(STATUS "${FILE}: exports match javac's JNI names: ${actual}")
