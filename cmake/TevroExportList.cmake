# The export list, src/tevro.def, read once per build folder. Its EXPORTS lines read
#   "<export name>" = <plain name> @<ordinal>
# (the decorated name existing applications import, the C function in tevro.h).
#
# tevro_export_files(<def file> HEADER <file> [MINGW_IMPORT_DEF <file>] [MSVC_IMPORT_DEF <file>])
# writes, from one reading of the .def file:
#   HEADER           an X-macro list, so that programs binding the library at run time take
#                    the names from the .def file instead of repeating them:
#                      #define TEVRO_EXPORT_COUNT 26
#                      #define TEVRO_EXPORT_LIST TEVRO_EXPORT(<ordinal>, "<export name>", <plain name>) ...
#   MINGW_IMPORT_DEF the input of GNU dlltool for libtevro.dll.a: symbol <plain>, hint
#                    <ordinal>, imported by the decorated name
#   MSVC_IMPORT_DEF  the input of llvm-dlltool for tevro.lib: the decorated imports, then each
#                    plain name as a weak alias of its import
# Stops the configuration on a line it cannot read. A file is rewritten only when its text
# changes, so nothing built from it is rebuilt at each configuration.
function(tevro_export_files def_file)
  cmake_parse_arguments(PARSE_ARGV 1 _arg "" "HEADER;MINGW_IMPORT_DEF;MSVC_IMPORT_DEF" "")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
  file(STRINGS ${def_file} _lines)
  set(_in_exports FALSE)
  set(_count 0)
  set(_x_list "")
  set(_mingw_def "LIBRARY \"TEVRO.DLL\"\nEXPORTS\n")
  set(_msvc_def "LIBRARY \"TEVRO.DLL\"\nEXPORTS\n")
  set(_msvc_aliases "")
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
    set(_decorated "${CMAKE_MATCH_1}")
    set(_plain "${CMAKE_MATCH_2}")
    set(_ordinal "${CMAKE_MATCH_3}")
    math(EXPR _count "${_count} + 1")
    string(APPEND _x_list "  TEVRO_EXPORT(${_ordinal}, \"${_decorated}\", ${_plain}) \\\n")
    string(APPEND _mingw_def "  ${_plain} @${_ordinal} == \"${_decorated}\"\n")
    string(APPEND _msvc_def "  \"${_decorated}\" @${_ordinal}\n")
    string(APPEND _msvc_aliases "  ${_plain} == \"${_decorated}\"\n")
  endforeach()
  if(_count EQUAL 0)
    message(FATAL_ERROR "${def_file} lists no exports")
  endif()

  _tevro_write_if_changed(${_arg_HEADER}
    "/* Generated from src/tevro.def: TEVRO_EXPORT(ordinal, export name, plain name). */
#define TEVRO_EXPORT_COUNT ${_count}
#define TEVRO_EXPORT_LIST \\
${_x_list}
")
  if(_arg_MINGW_IMPORT_DEF)
    _tevro_write_if_changed(${_arg_MINGW_IMPORT_DEF} "${_mingw_def}")
  endif()
  if(_arg_MSVC_IMPORT_DEF)
    _tevro_write_if_changed(${_arg_MSVC_IMPORT_DEF} "${_msvc_def}${_msvc_aliases}")
  endif()
endfunction()

# Writes the text as it is (no substitution: export names hold '@' and '$'), leaving the
# file untouched when it holds that text already.
function(_tevro_write_if_changed file text)
  set(_old "")
  if(EXISTS ${file})
    file(READ ${file} _old)
  endif()
  if(NOT "${_old}" STREQUAL "${text}")
    file(WRITE ${file} "${text}")
  endif()
endfunction()
