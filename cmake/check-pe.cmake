# cmake -DOBJDUMP=... -DFILE=... [-DCHECK_EXPORTS=1 -DEXPECTED_EXPORTS=a,b]
#       [-DRELEASE=1 -DDEBUG_FILE=<file>.debug -DWINDRES=... -DVERSION=a.b.c.d [-DMAX_BYTES=n]]
#       -P check-pe.cmake
include(${CMAKE_CURRENT_LIST_DIR}/pe-tables.cmake)
qar_pe_dump(${OBJDUMP} ${FILE} dump)

qar_pe_imports("${dump}" imports)
foreach(dll IN LISTS imports)
  string(TOLOWER "${dll}" dll)
  if(dll MATCHES "^(libstdc\\+\\+|libgcc|libwinpthread|libprotobuf)")
    message(FATAL_ERROR "${FILE} imports the runtime DLL ${dll}; link it statically")
  endif()
endforeach()

if(CHECK_EXPORTS)
  qar_pe_exports("${dump}" actual)
  string(REPLACE "," ";" expected "${EXPECTED_EXPORTS}")
  list(SORT actual)
  list(SORT expected)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${FILE} exports\n  ${actual}\nexpected\n  ${expected}")
  endif()
endif()

# A packaged file: stripped (no symbol table, no debug sections) but linked to
# its debug file, which holds them; the version resource gives the release
# version; no larger than its budget.
if(RELEASE)
  execute_process(COMMAND ${OBJDUMP} -t ${FILE} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT symbols MATCHES "\nno symbols")
    message(FATAL_ERROR "${FILE} carries a symbol table:\n${symbols}")
  endif()
  execute_process(COMMAND ${OBJDUMP} -h ${FILE} OUTPUT_VARIABLE sections)
  if(sections MATCHES " (\\.debug_[a-z_]+) ")
    message(FATAL_ERROR "${FILE} carries the debug section ${CMAKE_MATCH_1}")
  endif()
  if(NOT sections MATCHES " \\.gnu_debuglink ")
    message(FATAL_ERROR "${FILE} has no .gnu_debuglink section")
  endif()
  get_filename_component(debug_name "${DEBUG_FILE}" NAME)
  file(STRINGS "${FILE}" link REGEX "^${debug_name}$")
  if(NOT link)
    message(FATAL_ERROR "${FILE} does not name ${debug_name} in its debug link")
  endif()

  execute_process(COMMAND ${OBJDUMP} -t ${DEBUG_FILE} OUTPUT_VARIABLE symbols)
  execute_process(COMMAND ${OBJDUMP} -h ${DEBUG_FILE} OUTPUT_VARIABLE sections)
  if(symbols MATCHES "\nno symbols" OR NOT sections MATCHES " \\.debug_info ")
    message(FATAL_ERROR "${DEBUG_FILE} lacks the symbols or the debug information of ${FILE}")
  endif()

  execute_process(COMMAND ${WINDRES} -i ${FILE} -O rc OUTPUT_VARIABLE resources RESULT_VARIABLE rc)
  string(REPLACE "." ", " numbers "${VERSION}")
  foreach(expected IN ITEMS "FILEVERSION ${numbers}\n" "PRODUCTVERSION ${numbers}\n"
                            "\"FileVersion\", \"${VERSION}\"" "\"ProductVersion\", \"${VERSION}\"")
    string(FIND "${resources}" "${expected}" at)
    if(at LESS 0)
      message(FATAL_ERROR "${FILE}: the version resource lacks '${expected}':\n${resources}")
    endif()
  endforeach()

  file(SIZE "${FILE}" size)
  if(MAX_BYTES AND size GREATER MAX_BYTES)
    message(FATAL_ERROR "${FILE} is ${size} bytes, over its budget of ${MAX_BYTES}")
  endif()
  message(STATUS "${FILE}: ${size} bytes (budget: ${MAX_BYTES}), version ${VERSION}")
endif()
message(STATUS "${FILE}: imports ${imports}")
