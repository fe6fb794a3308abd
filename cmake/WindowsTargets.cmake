# Windows cross build (MinGW-w64): TEVRO.DLL, its import libraries, and the small
# programs the Windows checks (tests/windows, scripts/windows-checks) look at.
# Included from the top-level CMakeLists.txt when the toolchain targets Windows.
#
# Outputs, all at the top of the build folder:
#   TEVRO.DLL          the library; exports and ordinals from src/tevro.def,
#                      version resource from src/tevro.rc
#   TEVRO.map          linker map of TEVRO.DLL (lets a check tie each export to
#                      the function it names)
#   libtevro.dll.a     MinGW import library: plain names -> decorated exports
#   tevro.lib          COFF import library for MSVC-style linkers (needs llvm-dlltool)
#   link_by_name.exe   C program linked by plain names against libtevro.dll.a
#   msvc_link_probe.exe  the same names linked by lld-link against tevro.lib
#
# Consumers link the plain names through the interface target tevro::import.

enable_language(RC)
include(${CMAKE_SOURCE_DIR}/src/sources.cmake)

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()

set(TEVRO_RC_FILE ${CMAKE_SOURCE_DIR}/src/tevro.rc)

# What ships (TEVRO.DLL, tevro.exe, the import libraries) is the same file whoever builds the
# commit, wherever: ld writes no link time into the PE header and the export directory (0
# instead), and the compilers write paths of the source and build folders (__FILE__, debug
# information) relative to those folders.
set(TEVRO_REPRODUCIBLE_COMPILE_OPTIONS
  $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>
  $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>)
set(TEVRO_REPRODUCIBLE_LINK_OPTIONS LINKER:--no-insert-timestamp)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TEVRO_WIN_ARCH x86)
  set(TEVRO_DLLTOOL_MACHINE i386)
  set(TEVRO_LLD_MACHINE x86)
else()
  set(TEVRO_WIN_ARCH x64)
  set(TEVRO_DLLTOOL_MACHINE i386:x86-64)
  set(TEVRO_LLD_MACHINE x64)
endif()

# --- TEVRO.DLL ------------------------------------------------------------------
# A MODULE, not a SHARED library: the linker's own import library would bind the
# decorated names, which no C caller can spell. Callers use tevro::import below.
add_library(tevro_dll MODULE ${TEVRO_LIBRARY_SOURCES} ${TEVRO_DEF_FILE} ${TEVRO_RC_FILE})
set_target_properties(tevro_dll PROPERTIES
  PREFIX ""
  OUTPUT_NAME TEVRO
  SUFFIX ".DLL"
  LINK_DEPENDS ${TEVRO_DEF_FILE})
target_include_directories(tevro_dll PRIVATE ${TEVRO_LIBRARY_INCLUDES})
target_compile_definitions(tevro_dll PRIVATE TEVRO_BUILD _WIN32_WINNT=0x0600)
target_compile_options(tevro_dll PRIVATE
  ${TEVRO_WARNINGS}
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
  ${TEVRO_REPRODUCIBLE_COMPILE_OPTIONS})
# The C++ runtime, libgcc and winpthread go into the DLL, so that it imports
# system DLLs only (KERNEL32, USER32, the C runtime). No auto-export: the .def
# alone decides what is exported.
# Windows Vista (6.0) or later: the library's timer is a thread-pool timer and its named
# objects are opened asking for the rights they grant (CreateMutexExA); the headers say so
# for an older system rather than leaving it to fail at an import.
target_link_options(tevro_dll PRIVATE
  -static -static-libgcc -static-libstdc++
  LINKER:--major-os-version,6 LINKER:--minor-os-version,0
  LINKER:--major-subsystem-version,6 LINKER:--minor-subsystem-version,0
  LINKER:--exclude-all-symbols
  LINKER:-Map=${CMAKE_BINARY_DIR}/TEVRO.map
  ${TEVRO_REPRODUCIBLE_LINK_OPTIONS})

# --- Import libraries ------------------------------------------------------------
# Their definitions, generated/tevro-mingw-import.def and tevro-msvc-import.def, come from
# src/tevro.def through tevro_export_files() in the top-level CMakeLists.txt.
if(NOT TEVRO_MINGW_TRIPLE)
  # Toolchain file other than ours: take the triple from the compiler's name.
  get_filename_component(_tevro_cc_name ${CMAKE_C_COMPILER} NAME)
  string(REGEX REPLACE "-gcc.*$" "" TEVRO_MINGW_TRIPLE "${_tevro_cc_name}")
endif()
find_program(TEVRO_DLLTOOL NAMES ${TEVRO_MINGW_TRIPLE}-dlltool REQUIRED)
set(TEVRO_MINGW_IMPLIB ${CMAKE_BINARY_DIR}/libtevro.dll.a)
# dlltool names the library's head symbols after the path given to -l, so it is given the
# bare file name, in the folder the library is written to.
add_custom_command(
  OUTPUT ${TEVRO_MINGW_IMPLIB}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TEVRO_GENERATED_DIR}/dlltool
  COMMAND ${TEVRO_DLLTOOL} -m ${TEVRO_DLLTOOL_MACHINE}
          -d ${TEVRO_GENERATED_DIR}/tevro-mingw-import.def
          -D TEVRO.DLL -l libtevro.dll.a
          --temp-prefix ${TEVRO_GENERATED_DIR}/dlltool/t
  DEPENDS ${TEVRO_GENERATED_DIR}/tevro-mingw-import.def
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "MinGW import library libtevro.dll.a (${TEVRO_WIN_ARCH})"
  VERBATIM)

find_program(TEVRO_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14)
find_program(TEVRO_PYTHON3 NAMES python3)
if(TEVRO_LLVM_DLLTOOL AND TEVRO_PYTHON3)
  set(TEVRO_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/tevro.lib)
  set(_tevro_safeseh_step "")
  if(TEVRO_WIN_ARCH STREQUAL "x86")
    # x86 images are linked with /SAFESEH by default; see the script.
    set(_tevro_safeseh_step COMMAND ${TEVRO_PYTHON3}
        ${CMAKE_CURRENT_LIST_DIR}/coff-implib-safeseh.py ${TEVRO_MSVC_IMPLIB})
  endif()
  add_custom_command(
    OUTPUT ${TEVRO_MSVC_IMPLIB}
    COMMAND ${TEVRO_LLVM_DLLTOOL} -m ${TEVRO_DLLTOOL_MACHINE}
            -d ${TEVRO_GENERATED_DIR}/tevro-msvc-import.def
            -D TEVRO.DLL -l ${TEVRO_MSVC_IMPLIB}
    ${_tevro_safeseh_step}
    DEPENDS ${TEVRO_GENERATED_DIR}/tevro-msvc-import.def
            ${CMAKE_CURRENT_LIST_DIR}/coff-implib-safeseh.py
    COMMENT "COFF import library tevro.lib (${TEVRO_WIN_ARCH})"
    VERBATIM)
  # One target owns tevro.lib and everything built from it (the link probe
  # appends itself), so that its rule runs once in a parallel build.
  set(TEVRO_MSVC_OUTPUTS ${TEVRO_MSVC_IMPLIB})
else()
  message(WARNING "llvm-dlltool (Debian package llvm) or python3 not found: tevro.lib is not built")
endif()

add_custom_target(tevro_import_libs ALL DEPENDS ${TEVRO_MINGW_IMPLIB})

add_library(tevro_import INTERFACE)
add_library(tevro::import ALIAS tevro_import)
target_include_directories(tevro_import INTERFACE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(tevro_import INTERFACE ${TEVRO_MINGW_IMPLIB})
add_dependencies(tevro_import tevro_import_libs tevro_dll)

# --- Programs for the Windows checks ------------------------------------------
option(TEVRO_WINDOWS_CHECK_PROGRAMS "Build the programs the Windows checks use" ON)
if(TEVRO_WINDOWS_CHECK_PROGRAMS)
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsCheckPrograms.cmake)
endif()

if(TEVRO_MSVC_IMPLIB)
  add_custom_target(tevro_msvc_import_lib ALL DEPENDS ${TEVRO_MSVC_OUTPUTS})
endif()

# The service tool tevro.exe.
include(${CMAKE_CURRENT_LIST_DIR}/ToolTargets.cmake)
