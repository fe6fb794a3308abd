# The simulated boxes for Windows programs, in a MinGW-w64 cross build:
#   ftd2xx.dll      stand-in D2XX library over the bridge-box model (x86 and x64)
#   drelvansim.sys  stand-in kernel driver over the port-box model (x64)
#   simctl.exe      control tool of both (x64; it drives the world for 32-bit checks too)
#   tests/e2e       the end-to-end checks under Wine (x86 and x64): sim_check.exe of the
#                   simulated world; dll_check.exe, three_processes_two_boxes_check.exe and
#                   one_box_many_callers_check.exe of TEVRO.DLL; call_convention_check.exe
#                   (x86); tool_check.exe and trace_check.exe of tevro.exe (tests/e2e/tool)
#   wine_bench.exe  TEVRO.DLL timed against the stand-ins under Wine (x86 and x64)
# A 32-bit process reaches the x64 stand-in driver through WoW64; only the user-mode
# client of its control device is built for x86.

add_subdirectory(${PROJECT_SOURCE_DIR}/sim/ftd2xx ${PROJECT_BINARY_DIR}/sim/ftd2xx)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_subdirectory(${PROJECT_SOURCE_DIR}/sim/driver ${PROJECT_BINARY_DIR}/sim/driver)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tools/simctl ${PROJECT_BINARY_DIR}/tools/simctl)
else()
  add_library(tevro_port_control STATIC ${PROJECT_SOURCE_DIR}/sim/driver/control_client.cpp)
  target_include_directories(tevro_port_control PUBLIC ${PROJECT_SOURCE_DIR}/sim)
  target_compile_options(tevro_port_control PRIVATE ${TEVRO_WARNINGS})
endif()
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/e2e ${PROJECT_BINARY_DIR}/tests/e2e)
if(TARGET tevro_dll)
  add_subdirectory(${PROJECT_SOURCE_DIR}/bench/wine ${PROJECT_BINARY_DIR}/bench/wine)
endif()
