# 32-bit Linux (i386) with the host's gcc and -m32 (packages gcc-multilib,
# g++-multilib, and zlib1g-dev:i386 libpng-dev:i386 for the tool).
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-i386.cmake
# GoogleTest is built from its sources (/usr/src/googletest). Where this
# machine cannot run i386 code itself, the tests run under qemu-i386-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The 32-bit loader answers only where the kernel runs i386 code.
execute_process(COMMAND /lib/ld-linux.so.2 --version RESULT_VARIABLE ZELJBIG_I386_NATIVE OUTPUT_QUIET ERROR_QUIET)
if(NOT ZELJBIG_I386_NATIVE EQUAL 0)
  find_program(ZELJBIG_QEMU_I386 qemu-i386-static REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELJBIG_QEMU_I386})
endif()
