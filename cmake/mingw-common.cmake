# Shared by both mingw-w64 toolchain files; QAR_MINGW_TRIPLE is set by the caller.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${QAR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QAR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${QAR_MINGW_TRIPLE}-windres)
set(CMAKE_MC_COMPILER  ${QAR_MINGW_TRIPLE}-windmc)
set(CMAKE_FIND_ROOT_PATH /usr/${QAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: every program and DLL imports system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Tests run the x86_64 build under 64-bit Wine; i686 programs go through the same
# loader once the 32-bit emulation is registered. wine-run.sh adds the exit
# code of a program that fails.
set(CMAKE_CROSSCOMPILING_EMULATOR /bin/sh ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
