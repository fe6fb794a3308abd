# The export list, src/tevro.def, read at configuration. Its EXPORTS lines read
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
  _tevro_read_def(${def_file} _entries)
  set(_count 0)
  set(_x_list "")
  set(_mingw_def "LIBRARY \"TEVRO.DLL\"\nEXPORTS\n")
  set(_msvc_def "LIBRARY \"TEVRO.DLL\"\nEXPORTS\n")
  set(_msvc_aliases "")
  foreach(_entry IN LISTS _entries)
    _tevro_split_entry("${_entry}")
    math(EXPR _count "${_count} + 1")
    string(APPEND _x_list "  TEVRO_EXPORT(${_ordinal}, \"${_decorated}\", ${_plain}) \\\n")
    string(APPEND _mingw_def "  ${_plain} @${_ordinal} == \"${_decorated}\"\n")
    string(APPEND _msvc_def "  \"${_decorated}\" @${_ordinal}\n")
    string(APPEND _msvc_aliases "  ${_plain} == \"${_decorated}\"\n")
  endforeach()
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

# tevro_x86_fixture_files(<def file> DECORATED_IMPORT_DEF <file> STDCALL_DEF <file>) writes,
# for the x86 checks of how old applications call the library:
#   DECORATED_IMPORT_DEF  the input of GNU dlltool for an import library whose symbols are
#                         the decorated names themselves ("@KasseOpen$qv"), imported by name,
#                         as the libraries old applications were linked with
#   STDCALL_DEF           the exports of a fixture DLL that has every export at its name and
#                         ordinal, but as a stdcall function Stdcall<plain name>@<bytes>
#                         (it removes its own arguments: 4 bytes per argument code after "$q")
function(tevro_x86_fixture_files def_file)
  cmake_parse_arguments(PARSE_ARGV 1 _arg "" "DECORATED_IMPORT_DEF;STDCALL_DEF" "")
  _tevro_read_def(${def_file} _entries)
  set(_decorated_def "LIBRARY \"TEVRO.DLL\"\nEXPORTS\n")
  set(_stdcall_def "LIBRARY \"STDCALL.DLL\"\nEXPORTS\n")
  foreach(_entry IN LISTS _entries)
    _tevro_split_entry("${_entry}")
    if(NOT _decorated MATCHES "\\$q(.+)$")
      message(FATAL_ERROR "${def_file}: no argument codes in '${_decorated}'")
    endif()
    string(REGEX MATCHALL "uc|pc|pv|ul" _codes "${CMAKE_MATCH_1}")
    list(LENGTH _codes _arguments)
    math(EXPR _bytes "4 * ${_arguments}")
    string(APPEND _decorated_def "  \"${_decorated}\" @${_ordinal}\n")
    string(APPEND _stdcall_def "  \"${_decorated}\" = Stdcall${_plain}@${_bytes} @${_ordinal}\n")
  endforeach()
  _tevro_write_if_changed(${_arg_DECORATED_IMPORT_DEF} "${_decorated_def}")
  _tevro_write_if_changed(${_arg_STDCALL_DEF} "${_stdcall_def}")
endfunction()

# The EXPORTS entries of the .def file as a list of "<export name>|<plain name>|<ordinal>";
# stops the configuration on a line it cannot read or when there is no entry.
function(_tevro_read_def def_file out_var)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
  file(STRINGS ${def_file} _lines)
  set(_in_exports FALSE)
  set(_entries "")
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
       NOT _line MATCHES "^\"([^\"|]+)\"[ \t]*=[ \t]*([A-Za-z_][A-Za-z0-9_]*)[ \t]+@([0-9]+)$")
      message(FATAL_ERROR "${def_file}: cannot read the line '${_line}'")
    endif()
    list(APPEND _entries "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}|${CMAKE_MATCH_3}")
  endforeach()
  if(NOT _entries)
    message(FATAL_ERROR "${def_file} lists no exports")
  endif()
  set(${out_var} "${_entries}" PARENT_SCOPE)
endfunction()

# Sets _decorated, _plain and _ordinal in the caller from one entry of _tevro_read_def.
macro(_tevro_split_entry entry)
  string(REPLACE "|" ";" _fields "${entry}")
  list(GET _fields 0 _decorated)
  list(GET _fields 1 _plain)
  list(GET _fields 2 _ordinal)
endmacro()

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
