# Cross build for 32-bit Windows with the MinGW-w64 compilers (Debian:
# g++-mingw-w64-i686). The posix thread model gives the tests std::thread; the
# runtime is linked statically, so nothing but system DLLs is needed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZELJBIG_MINGW_PREFIX i686-w64-mingw32)

set(CMAKE_C_COMPILER ${ZELJBIG_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELJBIG_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELJBIG_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELJBIG_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
