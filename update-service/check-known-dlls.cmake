# cmake -DOBJDUMP=... -DFILE=... -P check-known-dlls.cmake
cmake_minimum_required(VERSION 3.20)
# The program runs as local system: every DLL it imports must be on the
# system's KnownDLLs list, which the loader maps from System32 whatever lies in
# the program's folder. Anything else is loaded at run time from System32.
set(known_dlls
  advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32
  kernel32 msctf msvcrt normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost
  setupapi shcore shell32 shlwapi user32 wldap32 ws2_32)

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/pe-tables.cmake)
qar_pe_dump(${OBJDUMP} ${FILE} dump)
qar_pe_imports("${dump}" imports)
if(NOT imports)
  message(FATAL_ERROR "${FILE}: no import table found")
endif()
set(found "")
foreach(dll IN LISTS imports)
  string(TOLOWER "${dll}" name)
  string(REGEX REPLACE "\\.dll$" "" name "${name}")
  if(NOT name IN_LIST known_dlls)
    message(FATAL_ERROR "${FILE} imports ${dll}, which is not a KnownDLL; load it from System32 at run time")
  endif()
  list(APPEND found "${dll}")
endforeach()
message(STATUS "${FILE}: imports only KnownDLLs: ${found}")
