# Checks the dynamic symbol table of the shared library: exactly the four
# exports are defined and visible, and the SONAME is libtarvik.so.1.
#
#   cmake -DREADELF=readelf -DLIBRARY=libtarvik.so -P check_exports.cmake
#
# Undefined imports are ignored, and so are the absolute symbols that the
# linker makes for the version nodes of the version script.
cmake_minimum_required(VERSION 3.25)

if(NOT READELF OR NOT LIBRARY)
  message(FATAL_ERROR "usage: cmake -DREADELF=<readelf> -DLIBRARY=<library> -P check_exports.cmake")
endif()
if(NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "no such library: ${LIBRARY}")
endif()

function(run_readelf out)
  execute_process(COMMAND "${READELF}" ${ARGN} "${LIBRARY}"
    OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${READELF} ${ARGN} failed (${rc}): ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(expected TarvikAlloc TarvikCreateClient TarvikDestroyClient TarvikFree)
set(failures "")

# SONAME.
run_readelf(dynamic -d -W)
if(NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[([^]\n]*)\\]")
  list(APPEND failures "no SONAME")
elseif(NOT CMAKE_MATCH_1 STREQUAL "libtarvik.so.1")
  list(APPEND failures "SONAME is ${CMAKE_MATCH_1}, not libtarvik.so.1")
endif()

# Names of the version definitions (the library's own and the version nodes).
run_readelf(versions -V -W)
set(version_nodes "")
string(REGEX MATCHALL "Name: [^ \n]+" names "${versions}")
foreach(entry IN LISTS names)
  string(REGEX REPLACE "^Name: " "" entry "${entry}")
  list(APPEND version_nodes "${entry}")
endforeach()

# Defined symbols of the dynamic table.
run_readelf(symbols --dyn-syms -W)
string(REPLACE "\n" ";" lines "${symbols}")
set(defined "")
foreach(line IN LISTS lines)
  # Num: Value Size Type Bind Vis Ndx Name
  if(NOT line MATCHES "^ *[0-9]+: +[0-9a-fA-F]+ +[^ ]+ +([A-Z_]+) +([A-Z_]+) +([A-Z_]+) +([A-Z0-9_]+) +([^ ]+)")
    continue()
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(bind "${CMAKE_MATCH_2}")
  set(vis "${CMAKE_MATCH_3}")
  set(ndx "${CMAKE_MATCH_4}")
  set(name "${CMAKE_MATCH_5}")
  if(ndx STREQUAL "UND" OR bind STREQUAL "LOCAL" OR vis STREQUAL "HIDDEN" OR vis STREQUAL "INTERNAL")
    continue()
  endif()
  string(REGEX REPLACE "@.*$" "" base "${name}")
  if(ndx STREQUAL "ABS" AND type STREQUAL "OBJECT" AND base IN_LIST version_nodes)
    continue()
  endif()
  if(base IN_LIST expected AND NOT (type STREQUAL "FUNC" AND bind STREQUAL "GLOBAL"))
    list(APPEND failures "${base} is ${type} ${bind}, not FUNC GLOBAL")
  endif()
  list(APPEND defined "${base}")
endforeach()

list(SORT defined)
if(NOT defined STREQUAL expected)
  list(APPEND failures "defined dynamic symbols are [${defined}], expected [${expected}]")
endif()

if(failures)
  string(REPLACE ";" "\n  " report "${failures}")
  message(FATAL_ERROR "export check of ${LIBRARY} failed:\n  ${report}")
endif()
message(STATUS "exports of ${LIBRARY}: ${defined}")
