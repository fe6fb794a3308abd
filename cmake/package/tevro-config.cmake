# find_package(tevro CONFIG): TEVRO.DLL from the release archive, for the architecture the
# project builds for. This file lies in the archive's cmake/ folder; point CMake at the
# unpacked archive with -DCMAKE_PREFIX_PATH=FOLDER (or -Dtevro_DIR=FOLDER/cmake, which a
# cross build's find-root settings leave alone).
#
# Imported target tevro::tevro: include/tevro.h, the import library of the architecture
# (x86/ or x64/; libtevro.dll.a for MinGW, tevro.lib for MSVC-style linkers: MSVC,
# clang-cl, lld-link) and TEVRO.DLL as its run-time file, so that
# $<TARGET_RUNTIME_DLLS:app> names it for a copy beside the program.
#
# Sets tevro_ARCH (x86 or x64) and tevro_DLL (the TEVRO.DLL to ship). A project that does
# not build for 32-bit or 64-bit x86 Windows, or enables neither C nor C++ first, gets
# tevro_FOUND false and the reason.
cmake_minimum_required(VERSION 3.20)
get_filename_component(_tevro_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

set(_tevro_problem "")
set(_tevro_arch_id "${CMAKE_C_COMPILER_ARCHITECTURE_ID}${CMAKE_CXX_COMPILER_ARCHITECTURE_ID}")
if(NOT WIN32)
  set(_tevro_problem "TEVRO.DLL is a Windows library; this project builds for ${CMAKE_SYSTEM_NAME}")
elseif(NOT CMAKE_SIZEOF_VOID_P)
  set(_tevro_problem "enable C or C++ (project() or enable_language()) before find_package(tevro)")
elseif(_tevro_arch_id MATCHES "ARM" OR CMAKE_SYSTEM_PROCESSOR MATCHES "^(ARM|arm|aarch)")
  set(_tevro_problem "TEVRO.DLL is built for x86 and x64 only, not for ARM")
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(tevro_ARCH x64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(tevro_ARCH x86)
else()
  set(_tevro_problem "no TEVRO.DLL for ${CMAKE_SIZEOF_VOID_P}-byte pointers")
endif()

if(NOT _tevro_problem)
  if(MINGW)
    set(_tevro_implib "${_tevro_root}/${tevro_ARCH}/libtevro.dll.a")
  else()
    set(_tevro_implib "${_tevro_root}/${tevro_ARCH}/tevro.lib")
  endif()
  set(tevro_DLL "${_tevro_root}/${tevro_ARCH}/TEVRO.DLL")
  foreach(_tevro_file IN ITEMS "${_tevro_implib}" "${tevro_DLL}" "${_tevro_root}/include/tevro.h")
    if(NOT EXISTS "${_tevro_file}")
      set(_tevro_problem "${_tevro_file} is missing")
    endif()
  endforeach()
endif()

if(_tevro_problem)
  set(tevro_FOUND FALSE)
  set(tevro_NOT_FOUND_MESSAGE "${_tevro_problem}")
elseif(NOT TARGET tevro::tevro)
  add_library(tevro::tevro SHARED IMPORTED)
  set_target_properties(tevro::tevro PROPERTIES
    IMPORTED_LOCATION "${tevro_DLL}"
    IMPORTED_IMPLIB "${_tevro_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_tevro_root}/include")
endif()
unset(_tevro_arch_id)
unset(_tevro_file)
unset(_tevro_implib)
unset(_tevro_problem)
unset(_tevro_root)
