# The Windows zip of one width (scripts/package.sh --windows):
# tarvik-VERSION-win32.zip or -win64.zip with bin/ (tarvik.dll, Lintaro.dll,
# tarvik_c.dll, tarvik-sim.exe), lib/ (the import libraries, the CMake
# package), include/tarvik/, share/doc/ and python/ (the Python package).
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarvik")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_PACKAGE_FILE_NAME tarvik-${PROJECT_VERSION}-win64)
else()
  set(CPACK_PACKAGE_FILE_NAME tarvik-${PROJECT_VERSION}-win32)
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
