# Cross build for 64-bit Windows (x64) with MinGW-w64, posix thread model.
# Debian: g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64.
# The win64 preset of CMakePresets.json uses it (Ninja, Release, folder build-win64):
#   cmake --preset win64 && cmake --build --preset win64      (or scripts/configure build-win64)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TEVRO_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
