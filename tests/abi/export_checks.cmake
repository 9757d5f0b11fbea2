# What the export checks share: reading a library's tables with readelf or
# objdump, and stopping with everything that was found wrong. Included by the
# check_*.cmake scripts and by the subproject consumer.
include_guard(GLOBAL)

# Stops with the entries of the list named `failures_var`, one a line under
# `heading`, when there are any.
function(abi_report_failures heading failures_var)
  if(${failures_var})
    string(REPLACE ";" "\n  " report "${${failures_var}}")
    message(FATAL_ERROR "${heading}:\n  ${report}")
  endif()
endfunction()

# Runs `tool` with the arguments that follow and then `library`, and sets
# `out` to what it prints; stops when the tool fails.
function(abi_run_tool out tool)
  execute_process(COMMAND "${tool}" ${ARGN} "${LIBRARY}"
    OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " args "${ARGN}")
    message(FATAL_ERROR "${tool} ${args} ${LIBRARY} failed (${rc}): ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# ELF: appends to the list `failures_var` unless LIBRARY's SONAME is
# `expected`.
function(abi_check_soname readelf expected failures_var)
  abi_run_tool(dynamic "${readelf}" -d -W)
  set(failures "${${failures_var}}")
  if(NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[([^]\n]*)\\]")
    list(APPEND failures "no SONAME")
  elseif(NOT CMAKE_MATCH_1 STREQUAL expected)
    list(APPEND failures "SONAME is ${CMAKE_MATCH_1}, not ${expected}")
  endif()
  set(${failures_var} "${failures}" PARENT_SCOPE)
endfunction()

# ELF: the symbols LIBRARY defines and shows in its dynamic table, as a list
# of NAME:TYPE:BIND entries (the name without its version). The absolute
# symbols that the linker makes for the version nodes are left out.
function(abi_dynamic_symbols readelf out)
  abi_run_tool(versions "${readelf}" -V -W)
  string(REGEX MATCHALL "Name: [^ \n]+" version_nodes "${versions}")
  list(TRANSFORM version_nodes REPLACE "^Name: " "")

  abi_run_tool(symbols "${readelf}" --dyn-syms -W)
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
    string(REGEX REPLACE "@.*$" "" name "${CMAKE_MATCH_5}")
    if(ndx STREQUAL "UND" OR bind STREQUAL "LOCAL" OR vis STREQUAL "HIDDEN" OR vis STREQUAL "INTERNAL")
      continue()
    endif()
    if(ndx STREQUAL "ABS" AND type STREQUAL "OBJECT" AND name IN_LIST version_nodes)
      continue()
    endif()
    list(APPEND defined "${name}:${type}:${bind}")
  endforeach()
  set(${out} ${defined} PARENT_SCOPE)
endfunction()

# PE: reads LIBRARY's tables with objdump -p and sets, in the caller,
#   pe_text             what objdump printed;
#   pe_exported         the exported ordinals;
#   pe_name_counts      the counts of the export name table;
#   pe_imports          the DLLs it imports from (lower case);
#   pe_ordinal_imports  dll:ordinal of each import by ordinal;
#   pe_named_imports    dll:name of each import by name.
function(abi_read_pe objdump)
  abi_run_tool(text "${objdump}" -p)
  string(REPLACE "\n" ";" lines "${text}")
  set(exported "")
  set(name_counts "")
  set(imports "")
  set(current_dll "")
  set(named_imports "")
  set(ordinal_imports "")
  foreach(line IN LISTS lines)
    # Exports: "[   i] +base[   n] rva Export RVA" per ordinal n.
    if(line MATCHES "\\+base\\[ *([0-9]+)\\] +[0-9a-fA-F]+ +Export RVA")
      list(APPEND exported "${CMAKE_MATCH_1}")
    elseif(line MATCHES "\\[Name Pointer/Ordinal\\] Table[ \t]+([0-9a-fA-F]+)")
      list(APPEND name_counts "${CMAKE_MATCH_1}")
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
  foreach(var exported name_counts imports named_imports ordinal_imports)
    list(REMOVE_DUPLICATES ${var})
    set(pe_${var} ${${var}} PARENT_SCOPE)
  endforeach()
  set(pe_text "${text}" PARENT_SCOPE)
endfunction()

# PE, after abi_read_pe: appends to the list `failures_var` when LIBRARY
# imports from a DLL not in `allowed`, or, with `ordinal_dll`, when what it
# imports from that DLL is not exactly the ordinals `ordinals`, none by name.
function(abi_check_pe_imports allowed ordinal_dll ordinals failures_var)
  set(failures "${${failures_var}}")
  string(TOLOWER "${allowed}" allowed)
  foreach(dll IN LISTS pe_imports)
    if(NOT dll IN_LIST allowed)
      list(APPEND failures "imports from ${dll}, which is not one of [${allowed}]")
    endif()
  endforeach()
  if(ordinal_dll)
    string(TOLOWER "${ordinal_dll}" ordinal_dll)
    set(want "")
    foreach(n IN LISTS ordinals)
      list(APPEND want "${ordinal_dll}:${n}")
    endforeach()
    set(got "")
    foreach(entry IN LISTS pe_ordinal_imports)
      if(entry MATCHES "^${ordinal_dll}:")
        list(APPEND got "${entry}")
      endif()
    endforeach()
    list(SORT got)
    list(SORT want)
    if(NOT got STREQUAL want)
      list(APPEND failures "ordinal imports from ${ordinal_dll} are [${got}], expected [${want}]")
    endif()
    foreach(entry IN LISTS pe_named_imports)
      if(entry MATCHES "^${ordinal_dll}:")
        list(APPEND failures "imports ${entry} by name")
      endif()
    endforeach()
  endif()
  set(${failures_var} "${failures}" PARENT_SCOPE)
endfunction()
