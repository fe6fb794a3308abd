# Shared part of the MinGW-w64 toolchain files; expects TEVRO_MINGW_TRIPLE.
# The posix thread-model compilers (Debian's *-posix packages); TEVRO.DLL links
# their C++ runtime, libgcc and winpthread statically (cmake/WindowsTargets.cmake).
set(CMAKE_C_COMPILER ${TEVRO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TEVRO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TEVRO_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${TEVRO_MINGW_TRIPLE}-ar)
set(CMAKE_RANLIB ${TEVRO_MINGW_TRIPLE}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${TEVRO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
