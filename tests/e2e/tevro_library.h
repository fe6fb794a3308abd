// TEVRO.DLL as an application binds it: loaded with LoadLibraryA, every function looked up
// by its decorated export name.
#ifndef TESTS_E2E_TEVRO_LIBRARY_H
#define TESTS_E2E_TEVRO_LIBRARY_H

#include <windows.h>

#include <stdint.h>

#include <string>

namespace e2e {

constexpr int kTevroExportCount = 26;

// The exports, cdecl (the only convention on x64); a bool result is one byte.
struct Tevro {
  HMODULE module;
  uint32_t (*ScanForPos)();
  uint32_t (*GetNumPos)();
  void (*GetFirmWareVersion)(char*);
  int32_t (*OpenPosInterface)(unsigned char);
  int32_t (*OpenPosInterfaceV)();
  uint8_t (*KasseOpen)();
  uint8_t (*KasseOpenP)(void*);
  uint8_t (*KasseClose)();
  uint8_t (*KasseCloseP)(void*);
  uint8_t (*GetSwitch)(char*);
  uint8_t (*GetSwitchP)(void*, char*);
  uint32_t (*GetLastOpenCnt)();
  uint32_t (*GetLastOpenCntP)(void*);
  uint32_t (*GetLocalOpenCnt)();
  uint32_t (*GetLocalOpenCntP)(void*);
  uint32_t (*GetTotalOpenCnt)();
  uint32_t (*GetTotalOpenCntP)(void*);
  uint32_t (*GetSerialNumber)();
  uint32_t (*GetSerialNumberP)(void*);
  uint32_t (*GetMfgDate)();
  uint32_t (*GetMfgDateP)(void*);
  uint8_t (*SetSerialNumber)(uint32_t);
  uint8_t (*SetMfgDate)(uint32_t);
  uint8_t (*SetLastOpenCnt)(uint32_t);
  uint8_t (*ClosePosInterface)();
  uint8_t (*ClosePosInterfaceP)(void*);
};

// Loads the library at `path` (its attach handler runs inside this call) and binds every
// export; *bound receives the number bound (kTevroExportCount when all are there). False
// when the library did not load; `tevro` is then empty.
bool TevroLoad(const std::string& path, Tevro& tevro, int* bound);

// Unloads the library (its detach handler runs inside this call) and empties `tevro`.
void TevroUnload(Tevro& tevro);

}  // namespace e2e

#endif  // TESTS_E2E_TEVRO_LIBRARY_H
