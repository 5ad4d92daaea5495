# Cross build for 64-bit Windows with the MinGW-w64 compilers (Debian:
# g++-mingw-w64-x86-64). The posix thread model gives the tests std::thread; the
# runtime is linked statically, so nothing but system DLLs is needed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZELJBIG_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${ZELJBIG_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELJBIG_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELJBIG_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELJBIG_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine (Debian: wine64), without a display.
find_program(ZELJBIG_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(ZELJBIG_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELJBIG_WINE64})
endif()
