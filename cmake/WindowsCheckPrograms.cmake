# Programs that the Windows checks (scripts/windows-checks) inspect or run.
# Included from WindowsTargets.cmake; expects the variables set there.

set(_tevro_checks_dir ${CMAKE_SOURCE_DIR}/tests/windows)

# A C program that links the plain names through libtevro.dll.a. The x64 build
# runs under Wine; both builds have their import tables checked.
# link_probe.c adds references of the other kind (plain symbols, resolved by the
# import library's thunks; link_by_name.c reads the __imp_ pointers).
add_executable(link_by_name ${_tevro_checks_dir}/link_by_name.c ${_tevro_checks_dir}/link_probe.c)
set_source_files_properties(${_tevro_checks_dir}/link_probe.c PROPERTIES COMPILE_DEFINITIONS TEVRO_BUILD)
target_include_directories(link_by_name PRIVATE ${TEVRO_GENERATED_DIR})
target_compile_options(link_by_name PRIVATE ${TEVRO_WARNINGS})
target_link_libraries(link_by_name PRIVATE tevro::import)
target_link_options(link_by_name PRIVATE -static-libgcc)

# The same names linked by lld-link against the COFF import library alone. The
# probe is compiled by clang for the MSVC ABI, so the link sees what an MSVC
# object looks like (on x86: /SAFESEH, the default, applies).
find_program(TEVRO_LLD_LINK NAMES lld-link lld-link-16 lld-link-15 lld-link-14)
find_program(TEVRO_CLANG NAMES clang clang-16 clang-15 clang-14)
if(TEVRO_MSVC_IMPLIB AND TEVRO_LLD_LINK AND TEVRO_CLANG)
  if(TEVRO_WIN_ARCH STREQUAL "x86")
    set(_tevro_msvc_target i686-pc-windows-msvc)
  else()
    set(_tevro_msvc_target x86_64-pc-windows-msvc)
  endif()
  set(_tevro_probe_dir ${CMAKE_BINARY_DIR}/msvc-probe)
  set(_tevro_probe_objects "")
  foreach(_variant imported direct)
    set(_defines "")
    if(_variant STREQUAL "direct")
      set(_defines -DTEVRO_BUILD)
    endif()
    set(_object ${_tevro_probe_dir}/probe_${_variant}.obj)
    add_custom_command(
      OUTPUT ${_object}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_tevro_probe_dir}
      COMMAND ${TEVRO_CLANG} --target=${_tevro_msvc_target} -O1 -Wall -Wextra -Werror
              -I${CMAKE_SOURCE_DIR}/include -I${TEVRO_GENERATED_DIR} ${_defines}
              -c ${_tevro_checks_dir}/link_probe.c -o ${_object}
      DEPENDS ${_tevro_checks_dir}/link_probe.c ${CMAKE_SOURCE_DIR}/include/tevro.h
              ${TEVRO_GENERATED_DIR}/tevro_export_list.h
      VERBATIM)
    list(APPEND _tevro_probe_objects ${_object})
  endforeach()
  set(_tevro_probe_exe ${CMAKE_BINARY_DIR}/msvc_link_probe.exe)
  add_custom_command(
    OUTPUT ${_tevro_probe_exe}
    COMMAND ${TEVRO_LLD_LINK} /nologo /machine:${TEVRO_LLD_MACHINE} /subsystem:console
            /entry:probe_entry /nodefaultlib /out:${_tevro_probe_exe}
            ${_tevro_probe_objects} ${TEVRO_MSVC_IMPLIB}
    DEPENDS ${_tevro_probe_objects} ${TEVRO_MSVC_IMPLIB}
    COMMENT "lld-link msvc_link_probe.exe against tevro.lib (${TEVRO_WIN_ARCH})"
    VERBATIM)
  list(APPEND TEVRO_MSVC_OUTPUTS ${_tevro_probe_exe})
elseif(TEVRO_MSVC_IMPLIB)
  message(WARNING "lld-link (Debian package lld) or clang not found: tevro.lib is not link-tested")
endif()

# A DLL that breaks the rules the checks enforce on TEVRO.DLL (x86 only: the
# calling convention matters there). The checks' self-test must reject it.
if(TEVRO_WIN_ARCH STREQUAL "x86")
  set(_tevro_fixture_dir ${CMAKE_BINARY_DIR}/check-fixtures)
  set(_tevro_fake_ftd2xx ${_tevro_fixture_dir}/libftd2xx-fixture.a)
  add_custom_command(
    OUTPUT ${_tevro_fake_ftd2xx}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_tevro_fixture_dir}
    COMMAND ${TEVRO_DLLTOOL} -m ${TEVRO_DLLTOOL_MACHINE} -k
            -d ${_tevro_checks_dir}/faulty_ftd2xx.def -l ${_tevro_fake_ftd2xx}
            --temp-prefix ${_tevro_fixture_dir}/t
    DEPENDS ${_tevro_checks_dir}/faulty_ftd2xx.def
    VERBATIM)
  add_custom_target(faulty_ftd2xx_implib DEPENDS ${_tevro_fake_ftd2xx})
  add_library(faulty_dll MODULE ${_tevro_checks_dir}/faulty_dll.c ${_tevro_checks_dir}/faulty_dll.def)
  set_target_properties(faulty_dll PROPERTIES
    PREFIX "" OUTPUT_NAME FAULTY SUFFIX ".DLL"
    LIBRARY_OUTPUT_DIRECTORY ${_tevro_fixture_dir})
  add_dependencies(faulty_dll faulty_ftd2xx_implib)
  target_link_libraries(faulty_dll PRIVATE ${_tevro_fake_ftd2xx})
  target_link_options(faulty_dll PRIVATE -static-libgcc LINKER:-Map=${_tevro_fixture_dir}/FAULTY.map)
endif()

# How old x86 applications call the library (run under Wine by scripts/e2e):
#   check-fixtures/STDCALL.DLL  every export at its name and ordinal, but stdcall: the
#                               run-time calling-convention check must reject it
#   decorated_import.exe        beside TEVRO.DLL, linked against an import library whose
#                               symbols are the decorated names, each imported by name
if(TEVRO_WIN_ARCH STREQUAL "x86")
  tevro_x86_fixture_files(${TEVRO_DEF_FILE}
    DECORATED_IMPORT_DEF ${TEVRO_GENERATED_DIR}/tevro-decorated-import.def
    STDCALL_DEF ${TEVRO_GENERATED_DIR}/stdcall-fixture.def)

  add_library(stdcall_fixture MODULE ${_tevro_checks_dir}/stdcall_fixture.c
              ${TEVRO_GENERATED_DIR}/stdcall-fixture.def)
  set_target_properties(stdcall_fixture PROPERTIES
    PREFIX "" OUTPUT_NAME STDCALL SUFFIX ".DLL"
    LIBRARY_OUTPUT_DIRECTORY ${_tevro_fixture_dir}
    LINK_DEPENDS ${TEVRO_GENERATED_DIR}/stdcall-fixture.def)
  target_compile_options(stdcall_fixture PRIVATE ${TEVRO_WARNINGS})
  target_link_options(stdcall_fixture PRIVATE -static-libgcc)

  set(_tevro_decorated_implib ${CMAKE_BINARY_DIR}/libtevro-decorated.a)
  add_custom_command(
    OUTPUT ${_tevro_decorated_implib}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TEVRO_GENERATED_DIR}/dlltool-decorated
    COMMAND ${TEVRO_DLLTOOL} -m ${TEVRO_DLLTOOL_MACHINE}
            -d ${TEVRO_GENERATED_DIR}/tevro-decorated-import.def
            -D TEVRO.DLL -l ${_tevro_decorated_implib}
            --temp-prefix ${TEVRO_GENERATED_DIR}/dlltool-decorated/t
    DEPENDS ${TEVRO_GENERATED_DIR}/tevro-decorated-import.def
    COMMENT "Import library by decorated names libtevro-decorated.a (x86)"
    VERBATIM)
  add_custom_target(tevro_decorated_implib DEPENDS ${_tevro_decorated_implib})
  add_executable(decorated_import ${_tevro_checks_dir}/decorated_import.c)
  target_include_directories(decorated_import PRIVATE ${CMAKE_SOURCE_DIR}/include
                                                      ${TEVRO_GENERATED_DIR})
  target_compile_options(decorated_import PRIVATE ${TEVRO_WARNINGS})
  target_link_libraries(decorated_import PRIVATE ${_tevro_decorated_implib})
  target_link_options(decorated_import PRIVATE -static-libgcc)
  add_dependencies(decorated_import tevro_decorated_implib tevro_dll)
endif()
