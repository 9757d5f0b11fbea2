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

if(NOT OBJDUMP OR NOT LIBRARY OR NOT ORDINALS OR NOT IMPORTS)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=... -DLIBRARY=... -DORDINALS=... -DIMPORTS=... "
                      "-P check_exports_win32.cmake")
endif()
# Lists come separated by commas (a semicolon does not survive add_test).
foreach(var ORDINALS IMPORTS ORDINAL_IMPORTS)
  string(REPLACE "," ";" ${var} "${${var}}")
endforeach()
execute_process(COMMAND "${OBJDUMP}" -p "${LIBRARY}"
  OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${LIBRARY} failed (${rc}): ${err}")
endif()

set(failures "")
if(FORMAT AND NOT text MATCHES "file format ${FORMAT}\n")
  string(REGEX MATCH "file format [^\n]*" found "${text}")
  list(APPEND failures "${found}, expected ${FORMAT}")
endif()
string(REPLACE "\n" ";" lines "${text}")

# Exports: "[   i] +base[   n] rva Export RVA" per ordinal n, and the count
# of the name table.
set(exported "")
set(named "")
set(section "")
set(imports "")
set(current_dll "")
set(named_imports "")
set(ordinal_imports "")
foreach(line IN LISTS lines)
  if(line MATCHES "\\+base\\[ *([0-9]+)\\] +[0-9a-fA-F]+ +Export RVA")
    list(APPEND exported "${CMAKE_MATCH_1}")
  elseif(line MATCHES "\\[Name Pointer/Ordinal\\] Table[ \t]+([0-9a-fA-F]+)")
    list(APPEND named "${CMAKE_MATCH_1}")
  elseif(line MATCHES "DLL Name: (.+)$")
    string(STRIP "${CMAKE_MATCH_1}" current_dll)
    string(TOLOWER "${current_dll}" current_dll)
    list(APPEND imports "${current_dll}")
  elseif(current_dll AND line MATCHES "^[ \t]+[0-9a-fA-F]+[ \t]+([0-9]+)[ \t]+(.+)$")
    string(STRIP "${CMAKE_MATCH_2}" member)
    # The 64-bit table prints ordinals zero-padded.
    string(REGEX REPLACE "^0+([0-9])" "\\1" ordinal "${CMAKE_MATCH_1}")
    if(member STREQUAL "<none>")
      list(APPEND ordinal_imports "${current_dll}:${ordinal}")
    else()
      list(APPEND named_imports "${current_dll}:${member}")
    endif()
  elseif(line MATCHES "^$")
    set(current_dll "")
  endif()
endforeach()
# objdump may print a table twice.
foreach(var exported named imports named_imports ordinal_imports)
  list(REMOVE_DUPLICATES ${var})
endforeach()

list(SORT exported COMPARE NATURAL)
set(expected ${ORDINALS})
list(SORT expected COMPARE NATURAL)
if(NOT exported STREQUAL expected)
  list(APPEND failures "exported ordinals are [${exported}], expected [${expected}]")
endif()
foreach(count IN LISTS named)
  if(NOT count MATCHES "^0+$")
    list(APPEND failures "the name table has ${count} entries, expected none")
  endif()
endforeach()

string(TOLOWER "${IMPORTS}" allowed)
foreach(dll IN LISTS imports)
  if(NOT dll IN_LIST allowed)
    list(APPEND failures "imports from ${dll}, which is not one of [${allowed}]")
  endif()
endforeach()

if(ORDINAL_DLL)
  string(TOLOWER "${ORDINAL_DLL}" ordinal_dll)
  set(want "")
  foreach(n IN LISTS ORDINAL_IMPORTS)
    list(APPEND want "${ordinal_dll}:${n}")
  endforeach()
  set(got "")
  foreach(entry IN LISTS ordinal_imports)
    if(entry MATCHES "^${ordinal_dll}:")
      list(APPEND got "${entry}")
    endif()
  endforeach()
  list(SORT got)
  list(SORT want)
  if(NOT got STREQUAL want)
    list(APPEND failures "ordinal imports from ${ordinal_dll} are [${got}], expected [${want}]")
  endif()
  foreach(entry IN LISTS named_imports)
    if(entry MATCHES "^${ordinal_dll}:")
      list(APPEND failures "imports ${entry} by name")
    endif()
  endforeach()
endif()

if(failures)
  string(REPLACE ";" "\n  " report "${failures}")
  message(FATAL_ERROR "export check of ${LIBRARY} failed:\n  ${report}")
endif()
message(STATUS "${LIBRARY}: ordinals [${exported}], imports [${imports}]")
