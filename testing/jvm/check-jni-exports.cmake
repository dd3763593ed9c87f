# cmake -DOBJDUMP=... -DFILE=<dll> -DNATIVES=<natives.tsv> -DPOINTER_SIZE=4|8 [-DEXTRA=a,b]
#       -P check-jni-exports.cmake
#
# The DLL's export table must hold exactly the names a VM looks up for the
# natives that javac declared (on 32-bit Windows "_<JNI name>@<bytes>", on
# 64-bit the plain JNI name), plus the EXTRA names.
cmake_minimum_required(VERSION 3.25)

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
# The name pointer table's rows look like "\t[   0] name".
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(\t[^\n]*\n)*" table "${dump}")
string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" lines "${table}")
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
