# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64):
#   cmake -S tests/windows -B build/wine -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VASK_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "MinGW-w64 target triplet")
set(CMAKE_C_COMPILER ${VASK_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VASK_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${VASK_MINGW_PREFIX}-windres)

# Libraries and headers come from the target's sysroot only; programs
# (moc, python ...) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VASK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
