# Checks the C API library: it exports exactly the functions that tarvik_c.h
# declares, by name (nothing else leaks out), and
#   - libtarvik_c.so: its SONAME is libtarvik_c.so.1;
#   - tarvik_c.dll: the names are plain (no decoration), and it imports only
#     the system's DLLs and tarvik.dll, the latter by ordinals 1 to 4.
#
#   cmake -DREADELF=readelf -DLIBRARY=libtarvik_c.so -DHEADER=tarvik_c.h -P check_c_exports.cmake
#   cmake -DOBJDUMP=objdump -DLIBRARY=tarvik_c.dll -DHEADER=tarvik_c.h -P check_c_exports.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/export_checks.cmake)

if((NOT READELF AND NOT OBJDUMP) OR NOT LIBRARY OR NOT HEADER)
  message(FATAL_ERROR
    "usage: cmake -DREADELF=...|-DOBJDUMP=... -DLIBRARY=... -DHEADER=... -P check_c_exports.cmake")
endif()

file(READ "${HEADER}" header)
string(REGEX MATCHALL "TARVIK_C_CALL[ \n]+tarvik_[a-z_]+\\(" declared "${header}")
list(TRANSFORM declared REPLACE "^TARVIK_C_CALL[ \n]+" "")
list(TRANSFORM declared REPLACE "\\($" "")
list(SORT declared)

set(failures "")
set(defined "")
if(READELF)
  abi_check_soname("${READELF}" libtarvik_c.so.1 failures)
  abi_dynamic_symbols("${READELF}" symbols)
  foreach(symbol IN LISTS symbols)
    string(REGEX REPLACE ":.*$" "" name "${symbol}")
    list(APPEND defined "${name}")
  endforeach()
else()
  abi_read_pe("${OBJDUMP}")
  # Exported names: the "[Ordinal/Name Pointer] Table" lines.
  if(pe_text MATCHES "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[ *[0-9]+\\] [^\n]+\n)*)")
    # Square brackets would group the elements of a CMake list.
    string(REPLACE "]" ">" section "${CMAKE_MATCH_1}")
    string(REPLACE "[" "<" section "${section}")
    string(REGEX MATCHALL "> [^\n]+" names "${section}")
    list(TRANSFORM names REPLACE "^> " "")
    list(APPEND defined ${names})
  endif()
  # Nothing but the system's DLLs, and tarvik.dll by ordinal only.
  abi_check_pe_imports("kernel32.dll;msvcrt.dll;tarvik.dll" tarvik.dll "1;2;3;4" failures)
endif()
list(SORT defined)

if(NOT defined STREQUAL declared)
  set(extra ${defined})
  list(REMOVE_ITEM extra ${declared})
  set(missing ${declared})
  list(REMOVE_ITEM missing ${defined})
  list(APPEND failures "exported but not declared: [${extra}]; declared but not exported: [${missing}]")
endif()
list(LENGTH declared n)
if(n LESS 50)
  list(APPEND failures "only ${n} functions found in ${HEADER}")
endif()
abi_report_failures("export check of ${LIBRARY} failed" failures)
message(STATUS "${LIBRARY}: ${n} functions")
