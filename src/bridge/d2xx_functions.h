// The D2XX functions the library calls, listed once. The library's binding (d2xx.h), the
// stand-in D2XX libraries and the programs that call the functions directly derive their
// tables from this list. Each function is WINAPI (stdcall on x86), returns an FT_STATUS
// (0 = success) and is exported undecorated as "FT_<name>".
#ifndef TEVRO_BRIDGE_D2XX_FUNCTIONS_H
#define TEVRO_BRIDGE_D2XX_FUNCTIONS_H

#include <windows.h>

typedef ULONG FT_STATUS;
typedef LPVOID FT_HANDLE;

// X(name, parameter list), in the order the library resolves them.
#define D2XX_FUNCTIONS(X)                                                                       \
  X(Open, (int deviceNumber, FT_HANDLE* handle))                                                \
  X(Close, (FT_HANDLE handle))                                                                  \
  X(SetBaudRate, (FT_HANDLE handle, ULONG baud))                                                \
  X(SetTimeouts, (FT_HANDLE handle, ULONG readMs, ULONG writeMs))                               \
  X(SetDataCharacteristics, (FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits, UCHAR parity)) \
  X(SetFlowControl, (FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff))                     \
  X(EE_UASize, (FT_HANDLE handle, LPDWORD size))                                                \
  X(EE_UARead, (FT_HANDLE handle, PUCHAR data, DWORD length, LPDWORD read))                     \
  X(EE_UAWrite, (FT_HANDLE handle, PUCHAR data, DWORD length))                                  \
  X(Write, (FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD written))                    \
  X(Read, (FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read))                        \
  X(Purge, (FT_HANDLE handle, ULONG mask))                                                      \
  X(GetStatus, (FT_HANDLE handle, LPDWORD rxQueue, LPDWORD txQueue, LPDWORD eventStatus))

// The export name of a function of the list: D2XX_EXPORT_NAME(Open) is "FT_Open".
#define D2XX_EXPORT_NAME(name) "FT_" #name
// The pointer type of a function of the list.
#define D2XX_POINTER_TYPE(params) FT_STATUS(WINAPI*) params
// In a struct, D2XX_FUNCTIONS(D2XX_POINTER_MEMBER) declares one pointer per function.
#define D2XX_POINTER_MEMBER(name, params) FT_STATUS(WINAPI* name) params;
// In an array initializer, D2XX_FUNCTIONS(D2XX_NAME_ENTRY) lists the export names.
#define D2XX_NAME_ENTRY(name, params) D2XX_EXPORT_NAME(name),

#define D2XX_COUNT_ONE(name, params) +1
constexpr int kD2xxFunctionCount = 0 D2XX_FUNCTIONS(D2XX_COUNT_ONE);
#undef D2XX_COUNT_ONE

#endif  // TEVRO_BRIDGE_D2XX_FUNCTIONS_H
