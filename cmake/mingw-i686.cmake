# Cross build for 32-bit Windows with mingw-w64 (Debian's i686 packages, the
# posix thread model for std::thread). Tests run under Wine:
#
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
#   ctest --test-dir build-win32
#
# Every program and DLL links libgcc, libstdc++ and winpthread statically, so
# that the shipped DLLs import nothing but the system's own DLLs (and
# Lintaro.dll).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TARVIK_MINGW_TRIPLE i686-w64-mingw32)
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

# ctest (and any try_run) starts the programs through Wine, in a private prefix
# inside the build tree; cmake/wine-run.sh prepares it on first use.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
