# Cross-builds Mozaro.exe for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-win32
# or -posix). The runtime is linked in statically, so the one file runs on any Windows.
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingwPrefix x86_64-w64-mingw32)
# Mozaro starts no threads, so either thread flavour serves; win32 needs no winpthread.
find_program(mingwCxx NAMES ${mingwPrefix}-g++-win32 ${mingwPrefix}-g++-posix ${mingwPrefix}-g++ REQUIRED)
set(CMAKE_CXX_COMPILER ${mingwCxx})
find_program(mingwWindres NAMES ${mingwPrefix}-windres)
if(mingwWindres)
  set(CMAKE_RC_COMPILER ${mingwWindres})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${mingwPrefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
