# tevro_export_list(<def file> <header>): writes an X-macro list of the exports named in
# the .def file, so that programs resolving TEVRO.DLL at run time take the names from the
# one export list instead of repeating them:
#   #define TEVRO_EXPORT_COUNT 26
#   #define TEVRO_EXPORT_LIST TEVRO_EXPORT(<ordinal>, "<export name>", <plain name>) ...
# The .def lines read  "<export name>" = <plain name> @<ordinal>  (see src/tevro.def).
function(tevro_export_list def_file header)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
  file(STRINGS ${def_file} _lines)
  set(_in_exports FALSE)
  set(_list "")
  set(_count 0)
  foreach(_line IN LISTS _lines)
    string(REGEX REPLACE ";.*$" "" _line "${_line}")
    string(STRIP "${_line}" _line)
    if(_line STREQUAL "" OR _line MATCHES "^LIBRARY[ \t]")
      continue()
    elseif(_line STREQUAL "EXPORTS")
      set(_in_exports TRUE)
      continue()
    endif()
    if(NOT _in_exports OR
       NOT _line MATCHES "^\"([^\"]+)\"[ \t]*=[ \t]*([A-Za-z_][A-Za-z0-9_]*)[ \t]+@([0-9]+)$")
      message(FATAL_ERROR "${def_file}: cannot read the line '${_line}'")
    endif()
    string(APPEND _list "  TEVRO_EXPORT(${CMAKE_MATCH_3}, \"${CMAKE_MATCH_1}\", ${CMAKE_MATCH_2}) \\\n")
    math(EXPR _count "${_count} + 1")
  endforeach()
  if(_count EQUAL 0)
    message(FATAL_ERROR "${def_file} lists no exports")
  endif()
  file(CONFIGURE OUTPUT ${header}
       CONTENT "/* Generated from ${def_file}: TEVRO_EXPORT(ordinal, export name, plain name). */
#define TEVRO_EXPORT_COUNT ${_count}
#define TEVRO_EXPORT_LIST \\
${_list}
" @ONLY)
endfunction()
