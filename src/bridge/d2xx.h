// The D2XX functions the bridge backend calls, bound at run time. The library file is
// loaded from the system folder path that passed the file test (never through the
// search order), at the first use; a file that cannot be loaded, or lacks one of the
// functions, leaves the binding unusable for the rest of the load.
#ifndef TEVRO_BRIDGE_D2XX_H
#define TEVRO_BRIDGE_D2XX_H

#include <windows.h>

#include "bridge/d2xx_functions.h"

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr ULONG FT_PURGE_RX = 1;

struct D2xxApi {
  HMODULE module;
  bool attempted;       // a bind was tried in this load; it is not tried again
  const char* lacking;  // the first function the library lacked, when that ended the bind
  // One pointer per function of d2xx_functions.h: gD2xx.Open(...) calls FT_Open.
  D2XX_FUNCTIONS(D2XX_POINTER_MEMBER)
};

extern D2xxApi gD2xx;

// Loads the library from 'path' and resolves every function. True when all are bound
// (also on later calls once bound); false, for the rest of the load, when the file could
// not be loaded or a function is missing (the module is released again).
bool D2xxBind(const char* path);
// True when the functions are bound.
bool D2xxReady();
// Releases the library; called once the detach handling is done.
void D2xxRelease();

#endif  // TEVRO_BRIDGE_D2XX_H
