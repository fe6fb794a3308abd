# The library's sources, shared by the host build (shared object for tests) and the
# MinGW builds of TEVRO.DLL.
set(TEVRO_SRC_DIR ${CMAKE_CURRENT_LIST_DIR})
set(TEVRO_LIBRARY_SOURCES
  ${TEVRO_SRC_DIR}/front/exports.cpp
  ${TEVRO_SRC_DIR}/front/backends.cpp
  ${TEVRO_SRC_DIR}/front/scan.cpp
  ${TEVRO_SRC_DIR}/front/dllmain.cpp
  ${TEVRO_SRC_DIR}/front/openings.cpp
  ${TEVRO_SRC_DIR}/front/counter_copy.cpp
  ${TEVRO_SRC_DIR}/common/box_lock.cpp
  ${TEVRO_SRC_DIR}/common/counter_addition.cpp
  ${TEVRO_SRC_DIR}/common/status.cpp
  ${TEVRO_SRC_DIR}/common/library_objects.cpp
  ${TEVRO_SRC_DIR}/common/elevation.cpp
  ${TEVRO_SRC_DIR}/common/fine_clock.cpp
  ${TEVRO_SRC_DIR}/common/gone_box.cpp
  ${TEVRO_SRC_DIR}/common/library_timer.cpp
  ${TEVRO_SRC_DIR}/common/object_security.cpp
  ${TEVRO_SRC_DIR}/common/process_lock.cpp
  ${TEVRO_SRC_DIR}/common/process_lock_scope.cpp
  ${TEVRO_SRC_DIR}/common/trace.cpp
  ${TEVRO_SRC_DIR}/common/trace_file.cpp
  ${TEVRO_SRC_DIR}/common/trace_path.cpp
  ${TEVRO_SRC_DIR}/bridge/d2xx.cpp
  ${TEVRO_SRC_DIR}/bridge/link.cpp
  ${TEVRO_SRC_DIR}/bridge/discovery.cpp
  ${TEVRO_SRC_DIR}/bridge/commands.cpp
  ${TEVRO_SRC_DIR}/bridge/identity.cpp
  ${TEVRO_SRC_DIR}/driverport/link.cpp
  ${TEVRO_SRC_DIR}/driverport/box_record.cpp
  ${TEVRO_SRC_DIR}/driverport/microwire.cpp
  ${TEVRO_SRC_DIR}/driverport/identity.cpp
  ${TEVRO_SRC_DIR}/driverport/drawer.cpp
  ${TEVRO_SRC_DIR}/driverport/discovery.cpp
)
set(TEVRO_LIBRARY_INCLUDES ${TEVRO_SRC_DIR} ${TEVRO_SRC_DIR}/../include)
