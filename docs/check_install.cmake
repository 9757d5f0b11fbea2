# Installs the component "docs" of a build into a fresh prefix and checks
# that the manual pages and the documentation are where they belong.
# cmake -DBUILD_DIR=... -DPREFIX=... -DMANDIR=... -DDOCDIR=... -DVERSION=... -P check_install.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(
  COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} --component docs
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install --component docs failed: ${result}")
endif()

set(wanted
  ${MANDIR}/man1/tarvik.1
  ${MANDIR}/man1/tarvik-sim.1)
if(EXISTS ${BUILD_DIR}/docs/html/index.html)
  list(APPEND wanted ${DOCDIR}/html/index.html ${DOCDIR}/guide.md)
endif()
foreach(file ${wanted})
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

foreach(page tarvik tarvik-sim)
  file(READ ${PREFIX}/${MANDIR}/man1/${page}.1 text)
  string(TOUPPER ${page} upper)
  foreach(needle "\\.TH ${upper} \"1\"" "Tarvik ${VERSION}" "EXIT STATUS" "SEE ALSO")
    if(NOT text MATCHES "${needle}")
      message(FATAL_ERROR "${page}.1 lacks /${needle}/")
    endif()
  endforeach()
endforeach()
message(STATUS "installed: ${wanted}")
