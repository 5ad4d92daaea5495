# Cross build for 64-bit Windows (Debian: g++-mingw-w64-x86-64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZELJBIG_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)

# Test programs run under Wine (Debian: wine64), without a display.
find_program(ZELJBIG_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(ZELJBIG_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELJBIG_WINE64})
endif()
