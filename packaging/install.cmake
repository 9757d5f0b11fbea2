# Install rules: the libraries with their soname links, the headers, the CMake
# package (find_package(Tarvik)), the pkg-config files (tarvik, tarvik-c) and
# the documentation, in the GNUInstallDirs places. The tools install
# themselves (tools/CMakeLists.txt). Four components, which are also the
# Debian packages:
#   Runtime      the shared libraries                       libtarvik1
#   Development  headers, .so links, CMake and pkg-config   libtarvik-dev
#   Tools        tarvik and tarvik-sim                      tarvik-tools
#   Python       the Python package (python/CMakeLists.txt)  python3-tarvik
include(CMakePackageConfigHelpers)

set(TARVIK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvik)

# Installed programs find the libraries of their prefix, and the C API finds
# the library beside it, wherever the prefix is. Packages for a system prefix
# turn this off (scripts/package.sh).
option(TARVIK_INSTALL_RPATH "Installed programs and libraries find the prefix's libraries" ON)
if(TARVIK_INSTALL_RPATH AND NOT WIN32)
  file(RELATIVE_PATH tarvik_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set(CMAKE_INSTALL_RPATH "$ORIGIN/${tarvik_bin_to_lib}")
  set_target_properties(tarvik_c PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

set(tarvik_install_targets tarvik tarvik_c tarvik_cpp)
if(TARGET Lintaro)
  list(APPEND tarvik_install_targets Lintaro)
endif()
install(TARGETS ${tarvik_install_targets} EXPORT TarvikTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
          NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(DIRECTORY include/tarvik/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik
  COMPONENT Development FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
install(FILES ${PROJECT_BINARY_DIR}/include/tarvik/tarvik_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik COMPONENT Development)

# The CMake package: relocatable, found from wherever the prefix lands.
install(EXPORT TarvikTargets NAMESPACE Tarvik:: DESTINATION ${TARVIK_CMAKE_DIR}
  COMPONENT Development)
configure_package_config_file(packaging/TarvikConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/TarvikConfig.cmake INSTALL_DESTINATION ${TARVIK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/TarvikConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/TarvikConfig.cmake
              ${PROJECT_BINARY_DIR}/packaging/TarvikConfigVersion.cmake
  DESTINATION ${TARVIK_CMAKE_DIR} COMPONENT Development)

# pkg-config files carry absolute paths: they are written when the install
# runs, for the prefix it installs to (cmake --install --prefix P). The
# Windows zip is unpacked anywhere: its files name their prefix relative to
# their own place (pkg-config's pcfiledir).
file(RELATIVE_PATH tarvik_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" tarvik_pc_to_prefix "${tarvik_pc_to_prefix}")
foreach(pc tarvik tarvik-c)
  if(WIN32)
    set(TARVIK_PC_PREFIX "\${pcfiledir}/${tarvik_pc_to_prefix}")
  else()
    set(TARVIK_PC_PREFIX "@TARVIK_INSTALL_PREFIX@")
  endif()
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(TARVIK_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
  else()
    set(TARVIK_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  endif()
  if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(TARVIK_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
  else()
    set(TARVIK_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
  endif()
  if(WIN32)
    configure_file(packaging/${pc}.pc.in ${PROJECT_BINARY_DIR}/packaging/installed/${pc}.pc @ONLY)
  else()
    configure_file(packaging/${pc}.pc.in ${PROJECT_BINARY_DIR}/packaging/${pc}.pc.in @ONLY)
    install(CODE "
      set(TARVIK_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
      configure_file(\"${PROJECT_BINARY_DIR}/packaging/${pc}.pc.in\"
                     \"${PROJECT_BINARY_DIR}/packaging/installed/${pc}.pc\" @ONLY)"
      COMPONENT Development)
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/packaging/installed/${pc}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
endforeach()

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Development)
if(EXISTS ${PROJECT_SOURCE_DIR}/docs)
  install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Development
    PATTERN "Doxyfile*" EXCLUDE)
endif()

if(PROJECT_IS_TOP_LEVEL AND WIN32)
  include(packaging/windows.cmake)
elseif(PROJECT_IS_TOP_LEVEL)
  include(packaging/debian.cmake)
endif()
