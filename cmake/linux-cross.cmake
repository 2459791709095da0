# Cross-builds Mozaro for another Linux processor with Debian's cross compilers, for
# example aarch64 (g++-aarch64-linux-gnu) or big-endian s390x (g++-s390x-linux-gnu).
# Linked statically, so that qemu-user runs the result without the target's libraries.
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-cross.cmake -DCROSS_TRIPLE=aarch64-linux-gnu
set(CMAKE_SYSTEM_NAME Linux)
if(NOT CROSS_TRIPLE)
  set(CROSS_TRIPLE aarch64-linux-gnu)
endif()
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${CROSS_TRIPLE}")
find_program(crossCxx NAMES ${CROSS_TRIPLE}-g++ ${CROSS_TRIPLE}-g++-12 REQUIRED)
set(CMAKE_CXX_COMPILER ${crossCxx})

set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
