// The exported functions: each looks at the session record and calls at most one
// backend operation.
#include <windows.h>

#include "bridge/bridge.h"
#include "driverport/driverport.h"
#include "front/session.h"
#include "tevro.h"

SessionState gSession = {kNoDevice, 0, 0, kBackendDriverPort, 1, kNotOpen};

namespace {

bool IsOpen() { return gSession.openResult != kNotOpen; }
bool BridgeSelected() { return gSession.backend == kBackendBridge; }

// Every export starts here: a drawer pulse whose time is up is ended first, also when
// the application never dispatches the timer message.
void Enter() { PortServiceOverduePulse(); }

}  // namespace

bool CloseSession() {
  if (IsOpen()) {
    if (BridgeSelected()) {
      BridgeCloseInterface();
    } else {
      PortCloseSession();
    }
  }
  gSession.currentDevice = kNoDevice;
  gSession.openResult = kNotOpen;
  return true;
}

namespace {

int32_t OpenSession(uint8_t n) {
  if (n != gSession.currentDevice) CloseSession();
  if (n >= gSession.bridgeCount) {
    gSession.openResult = PortOpenSession(static_cast<uint8_t>(n - gSession.bridgeCount));
    if (IsOpen()) {
      gSession.backend = kBackendDriverPort;
      gSession.currentDevice = n;
    }
    return gSession.openResult;
  }
  if (n == gSession.currentDevice && IsOpen()) return gSession.openResult;
  gSession.openResult = BridgeOpenInterface(n);
  if (IsOpen()) {
    gSession.backend = kBackendBridge;
    gSession.currentDevice = n;
  }
  return gSession.openResult;
}

}  // namespace

uint32_t PackedCounts() {
  return static_cast<uint32_t>(gSession.bridgeCount) << 8 | gSession.portCount;
}

extern "C" {

TEVRO_U32 TEVRO_CALL ScanForPos(void) {
  Enter();
  return RunScan();
}

TEVRO_U32 TEVRO_CALL GetNumPos(void) {
  Enter();
  return PackedCounts();
}

void TEVRO_CALL GetFirmWareVersion(char* buf) {
  Enter();
  if (!IsOpen() || buf == nullptr) return;
  if (BridgeSelected()) {
    BridgeGetFirmWareVersion(buf);
  } else {
    PortGetFirmWareVersion(buf);
  }
}

TEVRO_S32 TEVRO_CALL OpenPosInterface(unsigned char n) {
  Enter();
  return OpenSession(n);
}

TEVRO_S32 TEVRO_CALL OpenPosInterfaceV(void) { return OpenPosInterface(0); }

TEVRO_BOOL TEVRO_CALL KasseOpen(void) {
  Enter();
  if (!IsOpen()) return 0;
  return BridgeSelected() ? BridgeKick() : PortKick() != 0;
}

TEVRO_BOOL TEVRO_CALL KasseOpenP(void*) { return KasseOpen(); }

TEVRO_BOOL TEVRO_CALL KasseClose(void) {
  Enter();
  if (!BridgeSelected()) PortRelease();
  return 1;
}

TEVRO_BOOL TEVRO_CALL KasseCloseP(void*) { return KasseClose(); }

TEVRO_BOOL TEVRO_CALL GetSwitch(char* readFlag) {
  Enter();
  char unused = 0;
  char* flag = readFlag != nullptr ? readFlag : &unused;
  if (!IsOpen()) {
    MessageBeep(MB_ICONEXCLAMATION);
    *flag = 0;
    return gSession.lastSwitch != 0;
  }
  int32_t state = BridgeSelected() ? BridgeGetSwitch(flag) : PortGetSwitch(flag);
  gSession.lastSwitch = state & 0xFF;
  return gSession.lastSwitch != 0;
}

TEVRO_BOOL TEVRO_CALL GetSwitchP(void*, char* readFlag) { return GetSwitch(readFlag); }

TEVRO_U32 TEVRO_CALL GetLastOpenCnt(void) {
  Enter();
  if (!IsOpen()) return 0;
  return BridgeSelected() ? BridgeGetLastOpenCnt() : PortGetLastOpenCnt();
}

TEVRO_U32 TEVRO_CALL GetLastOpenCntP(void*) { return GetLastOpenCnt(); }

TEVRO_U32 TEVRO_CALL GetLocalOpenCnt(void) {
  Enter();
  return BridgeSelected() ? BridgeGetLocalOpenCnt() : PortGetLocalOpenCnt();
}

TEVRO_U32 TEVRO_CALL GetLocalOpenCntP(void*) { return GetLocalOpenCnt(); }

TEVRO_U32 TEVRO_CALL GetTotalOpenCnt(void) {
  Enter();
  return BridgeSelected() ? BridgeGetTotalOpenCnt() : PortGetTotalOpenCnt();
}

TEVRO_U32 TEVRO_CALL GetTotalOpenCntP(void*) { return GetTotalOpenCnt(); }

TEVRO_U32 TEVRO_CALL GetSerialNumber(void) {
  Enter();
  if (!IsOpen()) return 0;
  return BridgeSelected() ? BridgeGetSerialNumber() : PortGetSerialNumber();
}

TEVRO_U32 TEVRO_CALL GetSerialNumberP(void*) { return GetSerialNumber(); }

TEVRO_U32 TEVRO_CALL GetMfgDate(void) {
  Enter();
  if (!IsOpen()) return 0;
  return BridgeSelected() ? BridgeGetMfgDate() : PortGetMfgDate();
}

TEVRO_U32 TEVRO_CALL GetMfgDateP(void*) { return GetMfgDate(); }

TEVRO_BOOL TEVRO_CALL SetSerialNumber(TEVRO_U32 value) {
  Enter();
  if (!IsOpen()) return 0;
  return BridgeSelected() ? BridgeSetSerialNumber(value) : PortSetSerialNumber(value);
}

TEVRO_BOOL TEVRO_CALL SetMfgDate(TEVRO_U32 value) {
  Enter();
  if (!IsOpen()) return 0;
  return BridgeSelected() ? BridgeSetMfgDate(value) : PortSetMfgDate(value);
}

TEVRO_BOOL TEVRO_CALL SetLastOpenCnt(TEVRO_U32 value) {
  Enter();
  if (!IsOpen()) return 0;
  return BridgeSelected() ? BridgeSetLastOpenCnt(value) : PortSetLastOpenCnt(value);
}

TEVRO_BOOL TEVRO_CALL ClosePosInterface(void) {
  Enter();
  return CloseSession();
}

TEVRO_BOOL TEVRO_CALL ClosePosInterfaceP(void*) { return ClosePosInterface(); }

}  // extern "C"
