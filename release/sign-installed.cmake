# Included by the install script of the runtime component (see CMakeLists.txt),
# with QAR_SIGN_FILES, QAR_OSSLSIGNCODE and the QAR_SIGN_* settings of the
# build set. Environment variables of the same names override the settings.
# With a chain and a key, every installed file is Authenticode-signed in place
# (SHA-256, time stamp from QAR_SIGN_TIMESTAMP_URL when given); without them
# nothing is signed.
foreach(setting QAR_SIGN_CHAIN QAR_SIGN_KEY QAR_SIGN_TIMESTAMP_URL QAR_SIGN_PASSWORD_FILE)
  if(DEFINED ENV{${setting}})
    set(${setting} "$ENV{${setting}}")
  endif()
endforeach()

if(QAR_SIGN_CHAIN STREQUAL "" AND QAR_SIGN_KEY STREQUAL "")
  return()
endif()
if(QAR_SIGN_CHAIN STREQUAL "" OR QAR_SIGN_KEY STREQUAL "")
  message(FATAL_ERROR "Signing needs both QAR_SIGN_CHAIN and QAR_SIGN_KEY (chain: '${QAR_SIGN_CHAIN}', key: '${QAR_SIGN_KEY}')")
endif()
foreach(input QAR_SIGN_CHAIN QAR_SIGN_KEY QAR_SIGN_PASSWORD_FILE)
  if(NOT ${input} STREQUAL "" AND NOT EXISTS "${${input}}")
    message(FATAL_ERROR "${input}: ${${input}} does not exist")
  endif()
endforeach()
if(NOT EXISTS "${QAR_OSSLSIGNCODE}")
  message(FATAL_ERROR "Signing needs osslsigncode, which was not found when the build was configured")
endif()

set(options -certs "${QAR_SIGN_CHAIN}" -key "${QAR_SIGN_KEY}" -h sha256)
if(NOT QAR_SIGN_TIMESTAMP_URL STREQUAL "")
  list(APPEND options -ts "${QAR_SIGN_TIMESTAMP_URL}")
endif()
if(NOT QAR_SIGN_PASSWORD_FILE STREQUAL "")
  list(APPEND options -readpass "${QAR_SIGN_PASSWORD_FILE}")
endif()

set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
foreach(name IN LISTS QAR_SIGN_FILES)
  set(file "${dir}/${name}")
  file(REMOVE "${file}.signed")
  execute_process(COMMAND "${QAR_OSSLSIGNCODE}" sign ${options} -in "${file}" -out "${file}.signed"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    file(REMOVE "${file}.signed")
    message(FATAL_ERROR "osslsigncode could not sign ${file}:\n${out}")
  endif()
  file(RENAME "${file}.signed" "${file}")
  message(STATUS "Signed: ${file}")
endforeach()
