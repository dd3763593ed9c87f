# cmake -DOSSLSIGNCODE=... -DIN=<program> -DOUT=<signed copy> -DCERTS=<chain.crt> -DKEY=<leaf.key>
#       [-DCHANGE_BYTE=1] -P sign-program.cmake
#
# Authenticode-signs a copy of a built program (SHA-256 file digest, no time
# stamp). With CHANGE_BYTE, one byte in the middle of the signed copy is
# changed afterwards, so the signature no longer matches the file's digest.
cmake_minimum_required(VERSION 3.25)

file(REMOVE "${OUT}")
execute_process(
  COMMAND ${OSSLSIGNCODE} sign -certs ${CERTS} -key ${KEY} -h sha256 -in ${IN} -out ${OUT}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  file(REMOVE "${OUT}")
  message(FATAL_ERROR "osslsigncode failed on ${IN}:\n${out}")
endif()

if(CHANGE_BYTE)
  # The middle of the file lies in the program's sections, which the digest
  # covers; the signature itself sits at the end. CMake cannot write arbitrary
  # bytes, so the replacement is a printable one that differs from the original.
  file(SIZE "${OUT}" size)
  math(EXPR offset "${size} / 2")
  file(READ "${OUT}" original OFFSET ${offset} LIMIT 1 HEX)
  if(original STREQUAL "41")
    set(replacement "B")
  else()
    set(replacement "A")
  endif()
  set(byte_file "${OUT}.byte")
  file(WRITE "${byte_file}" "${replacement}")
  execute_process(
    COMMAND dd if=${byte_file} of=${OUT} bs=1 seek=${offset} count=1 conv=notrunc status=none
    RESULT_VARIABLE rc ERROR_VARIABLE out)
  file(REMOVE "${byte_file}")
  if(NOT rc EQUAL 0)
    file(REMOVE "${OUT}")
    message(FATAL_ERROR "changing a byte of ${OUT} failed:\n${out}")
  endif()
endif()
