# Debian packages from CPack (scripts/package.sh), split as Debian splits its
# own C libraries: the runtime package holds the .so.1 files (and is named
# after the soname), the -dev package the .so links, headers, CMake and
# pkg-config files, the tools package the programs, python3-tarvik the
# Python package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarvik")
set(CPACK_PACKAGE_CONTACT "Tarvik developers <tarvik@localhost>")
# Each package's description starts with its own summary line.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# Files written by the install itself (the pkg-config files) see the real
# prefix, not the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development Tools Python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(tarvik_exact_dependency "libtarvik1 (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtarvik1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "client library of the Tarvik real-time database server
The shared libraries libtarvik.so.1 (the client library) and
libtarvik_c.so.1 (its C API).")
# A shlibs file, so that packages built against the libraries depend on the
# runtime package.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtarvik-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${tarvik_exact_dependency}")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "client library of the Tarvik real-time database server - development files
Headers (the client interface, the C API and the header-only C++ layer),
the CMake package Tarvik, the pkg-config files tarvik and tarvik-c, and
the documentation.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarvik-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libtarvik1 (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "tools of the Tarvik client library
tarvik, the command-line client, and tarvik-sim, the development server.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tarvik)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libtarvik1 (>= ${PROJECT_VERSION}), python3")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
  "Python package of the Tarvik client library
The package tarvik (blocking, and tarvik.aio for asyncio): read, write,
subscribe to and look back at the values of a Tarvik server, over the
C API library of libtarvik1.")

# The tools link the runtime package's library, which no installed package
# provides yet while the packages are made.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

include(CPack)
