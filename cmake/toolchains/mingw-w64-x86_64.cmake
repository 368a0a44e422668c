# 64-bit Windows with Debian's MinGW-w64, posix-thread compilers (the ones
# the cached Qt for Windows is built with: std::thread and one libstdc++):
#   cmake -S . -B build-win --toolchain cmake/toolchains/mingw-w64-x86_64.cmake \
#         -DCMAKE_PREFIX_PATH="<Qt for Windows>;<GoogleTest for Windows>"
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VASK_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "MinGW-w64 target triplet")
set(CMAKE_C_COMPILER ${VASK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VASK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VASK_MINGW_PREFIX}-windres)

# Libraries, headers and packages come from the target's sysroot and the
# prefixes given (Qt, GoogleTest, VaskSupport); programs (moc, python ...)
# from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VASK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Where wine is installed, the build's programs run under it: ctest, and
# GoogleTest's listing of cases at build time.
find_program(VASK_WINE wine)
if(VASK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
endif()
