# The simulated boxes for Windows programs, in a MinGW-w64 cross build:
#   ftd2xx.dll   stand-in D2XX library over the bridge-box model (x86 and x64)
#   drelvansim.sys  stand-in kernel driver over the port-box model (x64)
#   simctl.exe   control tool of both (x64)
#   sim_check.exe   end-to-end check of the simulated world under Wine (x64)
set(TEVRO_SIM_WARNINGS -Wall -Wextra)

add_subdirectory(${PROJECT_SOURCE_DIR}/sim/ftd2xx ${PROJECT_BINARY_DIR}/sim/ftd2xx)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_subdirectory(${PROJECT_SOURCE_DIR}/sim/driver ${PROJECT_BINARY_DIR}/sim/driver)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tools/simctl ${PROJECT_BINARY_DIR}/tools/simctl)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/e2e ${PROJECT_BINARY_DIR}/tests/e2e)
endif()
