# cmake -DOBJDUMP=... -DFILE=<dll> -DNATIVES=<natives.tsv> -DPOINTER_SIZE=4|8 [-DEXTRA=a,b]
#       -P check-jni-exports.cmake
#
# The DLL's export table must hold exactly the names a VM looks up for the
# natives that javac declared (on 32-bit Windows "_<JNI name>@<bytes>", on
# 64-bit the plain JNI name), plus the EXTRA names.
cmake_minimum_required(VERSION 3.25)

file(STRINGS "${NATIVES}" rows)
set(expected "")
foreach(row IN LISTS rows)
  string(REPLACE "\t" ";" fields "${row}")
  list(GET fields 3 jni)
  list(GET fields 4 bytes)
  if(POINTER_SIZE EQUAL 4)
    list(APPEND expected "_${jni}@${bytes}")
  else()
    list(APPEND expected "${jni}")
  endif()
endforeach()
if(EXTRA)
  string(REPLACE "," ";" extra "${EXTRA}")
  list(APPEND expected ${extra})
endif()

execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${FILE}")
endif()
string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" lines "${dump}")
set(actual "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${line}")
  list(APPEND actual "${name}")
endforeach()

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
