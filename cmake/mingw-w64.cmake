# Cross build for Windows with mingw-w64 (Debian's packages, the posix thread
# model for std::thread), for either width: TARVIK_MINGW_ARCH is i686 (32-bit)
# or x86_64 (64-bit). The toolchain files mingw-i686.cmake and
# mingw-x86_64.cmake set it and include this one. Tests run under Wine:
#
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
#   cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
#   ctest --test-dir build-win64
#
# Every program and DLL links libgcc, libstdc++ and winpthread statically, so
# that the shipped DLLs import nothing but the system's own DLLs (and
# Lintaro.dll).
if(NOT TARVIK_MINGW_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "TARVIK_MINGW_ARCH must be i686 or x86_64 (use cmake/mingw-i686.cmake "
                      "or cmake/mingw-x86_64.cmake as the toolchain file)")
endif()
# try_compile projects read this file again: they get the width too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVIK_MINGW_ARCH)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TARVIK_MINGW_ARCH})

set(TARVIK_MINGW_TRIPLE ${TARVIK_MINGW_ARCH}-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${TARVIK_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TARVIK_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TARVIK_MINGW_TRIPLE}-windres)
find_program(CMAKE_DLLTOOL NAMES ${TARVIK_MINGW_TRIPLE}-dlltool)
find_program(CMAKE_OBJDUMP NAMES ${TARVIK_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVIK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

# ctest (and any try_run) starts the programs through Wine of the same width,
# in a private prefix inside the build tree; cmake/wine-run.sh prepares it on
# first use.
if(TARVIK_MINGW_ARCH STREQUAL "x86_64")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;--win64")
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
endif()
