# Host-side checks of built PE files through objdump: the runtime is linked
# statically (no mingw runtime DLL imported) and, where given, the export table
# holds exactly the expected names. These run without Wine, on both targets.
find_program(QAR_OBJDUMP NAMES ${QAR_MINGW_TRIPLE}-objdump x86_64-w64-mingw32-objdump REQUIRED)

# qar_check_pe(<target> [EXPORTS <name>...])
function(qar_check_pe target)
  cmake_parse_arguments(ARG "" "" "EXPORTS" ${ARGN})
  list(JOIN ARG_EXPORTS "," exports)
  qar_add_host_check(pe.${target}
    COMMAND ${CMAKE_COMMAND}
      -DOBJDUMP=${QAR_OBJDUMP}
      -DFILE=$<TARGET_FILE:${target}>
      -DEXPECTED_EXPORTS=${exports}
      -DCHECK_EXPORTS=$<BOOL:${ARG_EXPORTS}>
      -P ${PROJECT_SOURCE_DIR}/cmake/check-pe.cmake)
endfunction()
