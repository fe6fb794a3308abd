# tevro.exe, the service tool, for the MinGW cross builds. Included at the end of
# WindowsTargets.cmake. The program loads the TEVRO.DLL of its own folder at run time and
# resolves the decorated export names, so it does not import TEVRO.DLL; like the DLL it
# links the C++ runtime, libgcc and winpthread statically and imports system DLLs only.
#
# Output: tevro.exe at the top of the build folder, beside TEVRO.DLL.

include(${CMAKE_SOURCE_DIR}/tools/tevro/sources.cmake)

add_executable(tevro_tool ${TEVRO_TOOL_CORE_SOURCES} ${TEVRO_TOOL_DIR}/main_windows.cpp
  ${CMAKE_SOURCE_DIR}/src/common/elevation.cpp)
set_target_properties(tevro_tool PROPERTIES
  OUTPUT_NAME tevro
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(tevro_tool PRIVATE ${TEVRO_TOOL_DIR} ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(tevro_tool PRIVATE tevro_api)
# GetTickCount64 needs the Windows Vista declarations.
target_compile_definitions(tevro_tool PRIVATE _WIN32_WINNT=0x0600 WIN32_LEAN_AND_MEAN)
target_compile_options(tevro_tool PRIVATE ${TEVRO_WARNINGS} ${TEVRO_REPRODUCIBLE_COMPILE_OPTIONS})
target_link_options(tevro_tool PRIVATE -static -static-libgcc -static-libstdc++
  ${TEVRO_REPRODUCIBLE_LINK_OPTIONS})
# Run-time loading only: the tool never links the import library. It is built with the
# DLL so that a build folder always holds both.
add_dependencies(tevro_tool tevro_dll)
