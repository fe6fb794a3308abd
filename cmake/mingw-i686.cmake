# Cross build for 32-bit Windows (x86) with MinGW-w64, posix thread model.
# Debian: g++-mingw-w64-i686-posix, binutils-mingw-w64-i686.
# The win32 preset of CMakePresets.json uses it (Ninja, Release, folder build-win32):
#   cmake --preset win32 && cmake --build --preset win32      (or scripts/configure build-win32)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TEVRO_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
