# Shared part of the MinGW-w64 cross builds: set ZELJBIG_MINGW_PREFIX and
# CMAKE_SYSTEM_PROCESSOR, then include this. The posix thread model gives the
# tests std::thread; the runtime is linked statically, so nothing but system
# DLLs is needed.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZELJBIG_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELJBIG_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELJBIG_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELJBIG_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
