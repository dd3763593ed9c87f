# JNI headers for the cross build: jni.h from Debian's OpenJDK package and our
# own Windows jni_md.h (cmake/jni). Only a link to jni.h goes on the include
# path, never the JDK's include folder with its Linux jni_md.h.
set(QAR_JDK_HOME "/usr/lib/jvm/java-17-openjdk-amd64" CACHE PATH "Debian's OpenJDK (jni.h, javac)")
if(NOT EXISTS "${QAR_JDK_HOME}/include/jni.h")
  message(FATAL_ERROR "jni.h not found under ${QAR_JDK_HOME}: install openjdk-17-jdk-headless (scripts/setup.sh)")
endif()
set(QAR_JNI_INCLUDE_DIR ${CMAKE_BINARY_DIR}/jni-include)
file(MAKE_DIRECTORY ${QAR_JNI_INCLUDE_DIR})
file(CREATE_LINK ${QAR_JDK_HOME}/include/jni.h ${QAR_JNI_INCLUDE_DIR}/jni.h SYMBOLIC)

include(${CMAKE_CURRENT_LIST_DIR}/jni-names.cmake)

add_library(qar_jni INTERFACE)
target_include_directories(qar_jni INTERFACE ${QAR_JNI_INCLUDE_DIR} ${CMAKE_CURRENT_LIST_DIR}/jni)

# qar_jni_exports(<dll-target> [NATIVES <name>@<bytes>...] [PLAIN <name>...])
# Names the DLL's exports exactly, through a generated .def file: each JNI
# native (standard call, <bytes> of arguments) is exported on i686 with the
# name a VM of its architecture looks up (qar_jni_export_name); PLAIN names
# (C calling convention) are exported as written.
# The target's property QAR_EXPORTS holds the resulting list, for qar_check_pe.
function(qar_jni_exports target)
  cmake_parse_arguments(ARG "" "" "NATIVES;PLAIN" ${ARGN})
  set(def "EXPORTS\n")
  set(exports "")
  foreach(native IN LISTS ARG_NATIVES)
    qar_jni_export_name(export ${native} ${CMAKE_SIZEOF_VOID_P})
    # The compiler's symbol: on i686 the standard-call name "<name>@<bytes>".
    string(REGEX REPLACE "^_" "" symbol "${export}")
    string(APPEND def "  ${export} = ${symbol}\n")
    list(APPEND exports "${export}")
  endforeach()
  foreach(name IN LISTS ARG_PLAIN)
    string(APPEND def "  ${name}\n")
    list(APPEND exports "${name}")
  endforeach()
  set(def_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_exports.def)
  file(CONFIGURE OUTPUT ${def_file} CONTENT "${def}" @ONLY)
  target_sources(${target} PRIVATE ${def_file})
  target_compile_definitions(${target} PRIVATE JNIEXPORT=)
  set_target_properties(${target} PROPERTIES QAR_EXPORTS "${exports}")
endfunction()
