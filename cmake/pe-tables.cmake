# Reading a PE file's import and export tables through objdump, for the
# host-side checks (cmake -P scripts); objdump -p reads i686 files too.

# qar_pe_dump(<objdump> <file> <out-var>): objdump -p's report of the file.
function(qar_pe_dump objdump file out)
  execute_process(COMMAND ${objdump} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${file}")
  endif()
  set(${out} "${dump}" PARENT_SCOPE)
endfunction()

# qar_pe_imports(<dump> <out-var>): the names of the imported DLLs, as written.
function(qar_pe_imports dump out)
  string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
  set(dlls "")
  foreach(line IN LISTS lines)
    string(REPLACE "DLL Name: " "" dll "${line}")
    string(STRIP "${dll}" dll)
    list(APPEND dlls "${dll}")
  endforeach()
  set(${out} "${dlls}" PARENT_SCOPE)
endfunction()

# qar_pe_exports(<dump> <out-var>): the exported names, from the name pointer
# table (whose rows look like "\t[   0] name"; the export address table
# before it has rows of that shape too).
function(qar_pe_exports dump out)
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(\t[^\n]*\n)*" table "${dump}")
  string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" rows "${table}")
  set(names "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${row}")
    list(APPEND names "${name}")
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
