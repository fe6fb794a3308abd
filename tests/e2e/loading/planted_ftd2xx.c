/*
 * planted_ftd2xx.c - an ftd2xx.dll planted beside an application, where the normal library
 * search would find it first. TEVRO.DLL must never load it. If anything does, it leaves the
 * file "<its own path>.loaded" as a marker; every D2XX function it exports reports that no
 * device is there.
 */
#include <windows.h>

#define FT_DEVICE_NOT_FOUND 2

static void LeaveMarker(HINSTANCE self) {
  char path[MAX_PATH + 16];
  DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  lstrcpyA(path + n, ".loaded");
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) LeaveMarker(self);
  return TRUE;
}

typedef ULONG FT_STATUS;
typedef void* FT_HANDLE;

FT_STATUS WINAPI FT_Open(int device, FT_HANDLE* handle) {
  (void)device;
  if (handle != NULL) *handle = NULL;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_Close(FT_HANDLE h) {
  (void)h;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_SetBaudRate(FT_HANDLE h, ULONG baud) {
  (void)h, (void)baud;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_SetTimeouts(FT_HANDLE h, ULONG readMs, ULONG writeMs) {
  (void)h, (void)readMs, (void)writeMs;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_SetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop, UCHAR parity) {
  (void)h, (void)bits, (void)stop, (void)parity;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_SetFlowControl(FT_HANDLE h, USHORT flow, UCHAR xon, UCHAR xoff) {
  (void)h, (void)flow, (void)xon, (void)xoff;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_EE_UASize(FT_HANDLE h, LPDWORD size) {
  (void)h, (void)size;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_EE_UARead(FT_HANDLE h, PUCHAR data, DWORD length, LPDWORD read) {
  (void)h, (void)data, (void)length, (void)read;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_EE_UAWrite(FT_HANDLE h, PUCHAR data, DWORD length) {
  (void)h, (void)data, (void)length;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_Write(FT_HANDLE h, LPVOID data, DWORD length, LPDWORD written) {
  (void)h, (void)data, (void)length, (void)written;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_Read(FT_HANDLE h, LPVOID data, DWORD length, LPDWORD read) {
  (void)h, (void)data, (void)length, (void)read;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_Purge(FT_HANDLE h, ULONG mask) {
  (void)h, (void)mask;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS WINAPI FT_GetStatus(FT_HANDLE h, LPDWORD rx, LPDWORD tx, LPDWORD events) {
  (void)h, (void)rx, (void)tx, (void)events;
  return FT_DEVICE_NOT_FOUND;
}
