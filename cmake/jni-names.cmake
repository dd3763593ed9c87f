# qar_jni_export_name(<out-var> <JNI name>@<argument bytes> <pointer size>)
# The name a Java VM looks up in a library for a native: a 32-bit VM the
# standard-call decoration "_<JNI name>@<bytes>", a 64-bit VM the plain JNI
# name. For configure time and cmake -P scripts alike.
function(qar_jni_export_name out native pointer_size)
  if(NOT native MATCHES "^(Java_[A-Za-z0-9_]+)@([0-9]+)$")
    message(FATAL_ERROR "'${native}' is not <JNI name>@<argument bytes>")
  endif()
  if(pointer_size EQUAL 4)
    set(${out} "_${native}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  endif()
endfunction()
