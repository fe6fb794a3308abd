# The portable core of the service tool tevro.exe, shared by the host build (tested
# against the library built for Linux) and the MinGW builds (cmake/ToolTargets.cmake).
# Programs that use it also link the interface target tevro_api (tools/common/tevro_api.h).
set(TEVRO_TOOL_DIR ${CMAKE_CURRENT_LIST_DIR})
set(TEVRO_TOOL_CORE_SOURCES
  ${TEVRO_TOOL_DIR}/api.cpp
  ${TEVRO_TOOL_DIR}/numbers.cpp
  ${TEVRO_TOOL_DIR}/command_line.cpp
  ${TEVRO_TOOL_DIR}/help.cpp
  ${TEVRO_TOOL_DIR}/box_session.cpp
  ${TEVRO_TOOL_DIR}/commands.cpp
  ${TEVRO_TOOL_DIR}/trace_setting.cpp
  ${TEVRO_TOOL_DIR}/tool.cpp
  # The library's own test of what a trace path may name, so both refuse the same paths.
  ${TEVRO_TOOL_DIR}/../../src/common/trace_path.cpp
)
