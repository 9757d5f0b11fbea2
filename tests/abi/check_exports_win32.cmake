# Checks the export and import tables of a DLL with objdump -p: exactly the
# given ordinals are exported and none has a name, and the DLL imports only
# from the given DLLs (ordinal-only imports from ORDINAL_DLL, when given), and
# is of the given width (objdump's file format: pei-i386 or pei-x86-64).
#
#   cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DLIBRARY=tarvik.dll
#         -DORDINALS=1,2,3,4 -DIMPORTS=kernel32.dll,user32.dll,...
#         [-DORDINAL_DLL=lintaro.dll -DORDINAL_IMPORTS=5,6] [-DFORMAT=pei-x86-64]
#         -P check_exports_win32.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/export_checks.cmake)

if(NOT OBJDUMP OR NOT LIBRARY OR NOT ORDINALS OR NOT IMPORTS)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=... -DLIBRARY=... -DORDINALS=... -DIMPORTS=... "
                      "-P check_exports_win32.cmake")
endif()
# Lists come separated by commas (a semicolon does not survive add_test).
foreach(var ORDINALS IMPORTS ORDINAL_IMPORTS)
  string(REPLACE "," ";" ${var} "${${var}}")
endforeach()
abi_read_pe("${OBJDUMP}")

set(failures "")
if(FORMAT AND NOT pe_text MATCHES "file format ${FORMAT}\n")
  string(REGEX MATCH "file format [^\n]*" found "${pe_text}")
  list(APPEND failures "${found}, expected ${FORMAT}")
endif()

set(exported ${pe_exported})
list(SORT exported COMPARE NATURAL)
set(expected ${ORDINALS})
list(SORT expected COMPARE NATURAL)
if(NOT exported STREQUAL expected)
  list(APPEND failures "exported ordinals are [${exported}], expected [${expected}]")
endif()
foreach(count IN LISTS pe_name_counts)
  if(NOT count MATCHES "^0+$")
    list(APPEND failures "the name table has ${count} entries, expected none")
  endif()
endforeach()

abi_check_pe_imports("${IMPORTS}" "${ORDINAL_DLL}" "${ORDINAL_IMPORTS}" failures)
abi_report_failures("export check of ${LIBRARY} failed" failures)
message(STATUS "${LIBRARY}: ordinals [${exported}], imports [${pe_imports}]")
