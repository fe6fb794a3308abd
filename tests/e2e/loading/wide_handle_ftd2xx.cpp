// wide_handle_ftd2xx.dll (x64): a D2XX library whose handles are wider than 32 bits. It
// forwards every call to the library named by the environment variable TEVRO_E2E_FTD2XX
// (the stand-in, moved aside), handing out in place of each of its handles one whose low 32
// bits are all ones and whose high bits tell the handles apart: a library that keeps only
// 32 bits of a handle reaches no box, and one that reads the low bits as -1 reports a failed
// open. WideHandlesIssued() tells how many such handles were handed out.
#include <windows.h>

#include <stdint.h>

#include "d2xx_functions.h"

namespace {

constexpr int kSlots = 16;
constexpr uintptr_t kLowBits = 0xFFFFFFFFu;
constexpr FT_STATUS kInvalidHandle = 1;
constexpr FT_STATUS kDeviceNotFound = 2;
constexpr FT_STATUS kInsufficientResources = 5;

struct Target {
  D2XX_FUNCTIONS(D2XX_POINTER_MEMBER)
} g_target;
bool g_bound = false;
FT_HANDLE g_inner[kSlots];
LONG g_issued = 0;

bool Bind() {
  if (g_bound) return true;
  char path[MAX_PATH];
  const DWORD n = GetEnvironmentVariableA("TEVRO_E2E_FTD2XX", path, sizeof path);
  if (n == 0 || n >= sizeof path) return false;
  HMODULE module = LoadLibraryA(path);
  if (module == nullptr) return false;
#define BIND_ONE(name, params)                                                  \
  g_target.name = reinterpret_cast<decltype(g_target.name)>(                    \
      reinterpret_cast<void*>(GetProcAddress(module, D2XX_EXPORT_NAME(name)))); \
  if (g_target.name == nullptr) return false;
  D2XX_FUNCTIONS(BIND_ONE)
#undef BIND_ONE
  g_bound = true;
  return true;
}

FT_HANDLE Wide(int slot) {
  return reinterpret_cast<FT_HANDLE>((static_cast<uintptr_t>(slot + 1) << 32) | kLowBits);
}

// The stand-in's handle behind a wide one, or null.
FT_HANDLE Inner(FT_HANDLE wide) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(wide);
  const uintptr_t slot = (value >> 32) - 1;
  if ((value & kLowBits) != kLowBits || slot >= kSlots) return nullptr;
  return g_inner[slot];
}

}  // namespace

extern "C" {

__declspec(dllexport) LONG WideHandlesIssued() { return g_issued; }

FT_STATUS WINAPI FT_Open(int deviceNumber, FT_HANDLE* handle) {
  if (!Bind()) return kDeviceNotFound;
  int slot = 0;
  while (slot < kSlots && g_inner[slot] != nullptr) ++slot;
  if (slot == kSlots) return kInsufficientResources;
  FT_HANDLE inner = nullptr;
  const FT_STATUS status = g_target.Open(deviceNumber, &inner);
  if (status == 0 && handle != nullptr) {
    g_inner[slot] = inner;
    *handle = Wide(slot);
    ++g_issued;
  }
  return status;
}

FT_STATUS WINAPI FT_Close(FT_HANDLE handle) {
  FT_HANDLE inner = Inner(handle);
  if (!g_bound || inner == nullptr) return kInvalidHandle;
  g_inner[(reinterpret_cast<uintptr_t>(handle) >> 32) - 1] = nullptr;
  return g_target.Close(inner);
}

// The other functions pass their arguments through with the handle translated.
#define FORWARD(name, params, ...)                           \
  FT_STATUS WINAPI FT_##name params {                        \
    FT_HANDLE inner = Inner(handle);                         \
    if (!g_bound || inner == nullptr) return kInvalidHandle; \
    return g_target.name(inner, __VA_ARGS__);                \
  }
FORWARD(SetBaudRate, (FT_HANDLE handle, ULONG baud), baud)
FORWARD(SetTimeouts, (FT_HANDLE handle, ULONG readMs, ULONG writeMs), readMs, writeMs)
FORWARD(SetDataCharacteristics, (FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits, UCHAR parity),
        wordLength, stopBits, parity)
FORWARD(SetFlowControl, (FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff), flow, xon, xoff)
FORWARD(EE_UASize, (FT_HANDLE handle, LPDWORD size), size)
FORWARD(EE_UARead, (FT_HANDLE handle, PUCHAR data, DWORD length, LPDWORD read), data, length, read)
FORWARD(EE_UAWrite, (FT_HANDLE handle, PUCHAR data, DWORD length), data, length)
FORWARD(Write, (FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD written), buffer, length,
        written)
FORWARD(Read, (FT_HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read), buffer, length, read)
FORWARD(Purge, (FT_HANDLE handle, ULONG mask), mask)
FORWARD(GetStatus, (FT_HANDLE handle, LPDWORD rxQueue, LPDWORD txQueue, LPDWORD eventStatus),
        rxQueue, txQueue, eventStatus)
#undef FORWARD

}  // extern "C"
