// Loads the library afresh for one test, as a process that loads the DLL does, and
// resolves the exported interface. Unloading delivers the detach notification first.
#ifndef TESTS_HOST_LIBRARY_H
#define TESTS_HOST_LIBRARY_H

#include <windows.h>

#include <gtest/gtest.h>

#include "tevro.h"
#include "world.h"

class Library {
 public:
  // dlopen()s the library and delivers the process-attach notification (which scans).
  Library();
  // Delivers process detach (unless Detach() ran) and unloads; checks the object is gone.
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  void Detach(LPVOID reserved = nullptr);
  BOOL Notify(DWORD reason);

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

 private:
  void* handle_ = nullptr;
  decltype(&::DllMain) dllMain_ = nullptr;
  bool detached_ = false;
};

// Base fixture: a fresh simulated world for every test.
class WorldTest : public ::testing::Test {
 protected:
  void SetUp() override { hostwin::Reset(); }
};

#endif  // TESTS_HOST_LIBRARY_H
