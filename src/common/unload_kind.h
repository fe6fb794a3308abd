// How the library is being unloaded.
#ifndef TEVRO_COMMON_UNLOAD_KIND_H
#define TEVRO_COMMON_UNLOAD_KIND_H

#include <stdint.h>

enum class UnloadKind : uint8_t {
  kLibrary,      // FreeLibrary: the process goes on; everything of the library is given back
  kProcessExit,  // the process ends: its other threads are gone, and the system frees the rest
};

#endif  // TEVRO_COMMON_UNLOAD_KIND_H
