// The D2XX functions the bridge backend calls, bound at run time. The library file is
// loaded from the system folder path that passed the file test (never through the
// search order), at the first use; a file that cannot be loaded, or lacks one of the
// functions, leaves the binding unusable for the rest of the load.
#ifndef TEVRO_BRIDGE_D2XX_H
#define TEVRO_BRIDGE_D2XX_H

#include <windows.h>

typedef ULONG FT_STATUS;
typedef LPVOID FT_HANDLE;
constexpr FT_STATUS FT_OK = 0;
constexpr ULONG FT_PURGE_RX = 1;

struct D2xxApi {
  HMODULE module;
  bool attempted;  // a bind was tried in this load; it is not tried again
  FT_STATUS(WINAPI* Open)(int deviceNumber, FT_HANDLE* handle);
  FT_STATUS(WINAPI* Close)(FT_HANDLE handle);
  FT_STATUS(WINAPI* SetBaudRate)(FT_HANDLE handle, ULONG baud);
  FT_STATUS(WINAPI* SetTimeouts)(FT_HANDLE handle, ULONG readMs, ULONG writeMs);
  FT_STATUS(WINAPI* SetDataCharacteristics)
  (FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits, UCHAR parity);
  FT_STATUS(WINAPI* SetFlowControl)(FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff);
  FT_STATUS(WINAPI* EE_UASize)(FT_HANDLE handle, LPDWORD size);
  FT_STATUS(WINAPI* EE_UARead)(FT_HANDLE handle, PUCHAR data, DWORD length, LPDWORD read);
  FT_STATUS(WINAPI* EE_UAWrite)(FT_HANDLE handle, PUCHAR data, DWORD length);
  FT_STATUS(WINAPI* Write)(FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD written);
  FT_STATUS(WINAPI* Read)(FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read);
  FT_STATUS(WINAPI* Purge)(FT_HANDLE handle, ULONG mask);
  FT_STATUS(WINAPI* GetStatus)
  (FT_HANDLE handle, LPDWORD rxQueue, LPDWORD txQueue, LPDWORD eventStatus);
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
