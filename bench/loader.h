// Loads the library afresh, as a process that loads the DLL does: dlopen of the shared
// object, then the process-attach notification (which scans). Each measurement starts from
// the values at load this way.
#ifndef BENCH_LOADER_H
#define BENCH_LOADER_H

#include <windows.h>

#include <string>

#include "tevro.h"

// The exported interface, resolved by name.
struct TevroApi {
  decltype(&::ScanForPos) ScanForPos;
  decltype(&::GetNumPos) GetNumPos;
  decltype(&::GetFirmWareVersion) GetFirmWareVersion;
  decltype(&::OpenPosInterface) OpenPosInterface;
  decltype(&::OpenPosInterfaceV) OpenPosInterfaceV;
  decltype(&::KasseOpen) KasseOpen;
  decltype(&::KasseOpenP) KasseOpenP;
  decltype(&::KasseClose) KasseClose;
  decltype(&::KasseCloseP) KasseCloseP;
  decltype(&::GetSwitch) GetSwitch;
  decltype(&::GetSwitchP) GetSwitchP;
  decltype(&::GetLastOpenCnt) GetLastOpenCnt;
  decltype(&::GetLastOpenCntP) GetLastOpenCntP;
  decltype(&::GetLocalOpenCnt) GetLocalOpenCnt;
  decltype(&::GetLocalOpenCntP) GetLocalOpenCntP;
  decltype(&::GetTotalOpenCnt) GetTotalOpenCnt;
  decltype(&::GetTotalOpenCntP) GetTotalOpenCntP;
  decltype(&::GetSerialNumber) GetSerialNumber;
  decltype(&::GetSerialNumberP) GetSerialNumberP;
  decltype(&::GetMfgDate) GetMfgDate;
  decltype(&::GetMfgDateP) GetMfgDateP;
  decltype(&::SetSerialNumber) SetSerialNumber;
  decltype(&::SetMfgDate) SetMfgDate;
  decltype(&::SetLastOpenCnt) SetLastOpenCnt;
  decltype(&::ClosePosInterface) ClosePosInterface;
  decltype(&::ClosePosInterfaceP) ClosePosInterfaceP;
};

class LoadedLibrary {
 public:
  // Loads the library and delivers process attach. On failure ok() is false and error()
  // says why.
  LoadedLibrary();
  // Delivers process detach and unloads the library.
  ~LoadedLibrary();
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  bool ok() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }
  const TevroApi& api() const { return api_; }

 private:
  void* handle_ = nullptr;
  BOOL(WINAPI* dllMain_)(HINSTANCE, DWORD, LPVOID) = nullptr;
  TevroApi api_{};
  std::string error_;
};

#endif  // BENCH_LOADER_H
