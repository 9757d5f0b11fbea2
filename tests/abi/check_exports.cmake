# Checks the dynamic symbol table of the shared library: exactly the four
# exports are defined and visible, and the SONAME is libtarvik.so.1.
#
#   cmake -DREADELF=readelf -DLIBRARY=libtarvik.so -P check_exports.cmake
#
# Undefined imports are ignored, and so are the absolute symbols that the
# linker makes for the version nodes of the version script.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/export_checks.cmake)

if(NOT READELF OR NOT LIBRARY)
  message(FATAL_ERROR "usage: cmake -DREADELF=<readelf> -DLIBRARY=<library> -P check_exports.cmake")
endif()
if(NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "no such library: ${LIBRARY}")
endif()

set(expected TarvikAlloc TarvikCreateClient TarvikDestroyClient TarvikFree)
set(failures "")
abi_check_soname("${READELF}" libtarvik.so.1 failures)

abi_dynamic_symbols("${READELF}" symbols)
set(defined "")
foreach(symbol IN LISTS symbols)
  string(REPLACE ":" ";" fields "${symbol}")
  list(GET fields 0 name)
  list(GET fields 1 type)
  list(GET fields 2 bind)
  if(name IN_LIST expected AND NOT (type STREQUAL "FUNC" AND bind STREQUAL "GLOBAL"))
    list(APPEND failures "${name} is ${type} ${bind}, not FUNC GLOBAL")
  endif()
  list(APPEND defined "${name}")
endforeach()

list(SORT defined)
if(NOT defined STREQUAL expected)
  list(APPEND failures "defined dynamic symbols are [${defined}], expected [${expected}]")
endif()

abi_report_failures("export check of ${LIBRARY} failed" failures)
message(STATUS "exports of ${LIBRARY}: ${defined}")
