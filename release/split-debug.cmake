# cmake -DOBJCOPY=... -DIN=<built file> -DOUT=<packaged file> -DDEBUG_OUT=<file>.debug -P split-debug.cmake
#
# The packaged file is the built one without its symbol table and debug
# sections, with a .gnu_debuglink section that names <file>.debug (and holds
# its checksum), so a debugger given the debug package finds the symbols.
cmake_minimum_required(VERSION 3.25)

get_filename_component(out_dir "${OUT}" DIRECTORY)
get_filename_component(debug_dir "${DEBUG_OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}" "${debug_dir}")
file(REMOVE "${OUT}" "${DEBUG_OUT}")

# The link is made in the debug folder: objcopy stores only the file's name.
execute_process(COMMAND ${OBJCOPY} --only-keep-debug "${IN}" "${DEBUG_OUT}"
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objcopy --only-keep-debug failed on ${IN}:\n${err}")
endif()
execute_process(COMMAND ${OBJCOPY} --strip-all "--add-gnu-debuglink=${DEBUG_OUT}" "${IN}" "${OUT}"
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  file(REMOVE "${OUT}" "${DEBUG_OUT}")
  message(FATAL_ERROR "objcopy --strip-all failed on ${IN}:\n${err}")
endif()
