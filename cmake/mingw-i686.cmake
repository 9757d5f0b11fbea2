# Cross build for 32-bit Windows (tarvik.dll for 32-bit hosts): see mingw-w64.cmake.
set(TARVIK_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
