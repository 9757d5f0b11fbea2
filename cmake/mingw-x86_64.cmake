# Cross build for 64-bit Windows (tarvik.dll for 64-bit hosts): see mingw-w64.cmake.
set(TARVIK_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
