// The exported functions: each looks at the session record and calls at most one
// operation of the selected backend.
#include <windows.h>

#include "common/process_lock.h"
#include "front/backends.h"
#include "front/session.h"
#include "tevro.h"

SessionState gSession = {kNoDevice, 0, 0, kBackendDriverPort, 1, kNotOpen};

const Backend& SelectedBackend() {
  return gSession.backend == kBackendBridge ? kBridgeBackend : kPortBackend;
}

namespace {

bool IsOpen() { return gSession.openResult != kNotOpen; }

// Every export starts here: the process lock is taken, and a drawer pulse whose time is
// up is ended first, also when the application never dispatches the timer message.
void Enter() {
  LockProcess();
  kBridgeBackend.settle();
  kPortBackend.settle();
}

// Every export ends here, with its result.
template <typename T>
T Leave(T result) {
  UnlockProcess();
  return result;
}
void Leave() { UnlockProcess(); }

// Opens number n through 'backend' at its index there; on success the record selects it.
int32_t OpenThrough(const Backend& backend, int32_t id, uint8_t n, uint8_t index) {
  gSession.openResult = backend.openSession(index);
  if (IsOpen()) {
    gSession.backend = id;
    gSession.currentDevice = n;
  }
  return gSession.openResult;
}

int32_t OpenSession(uint8_t n) {
  if (n != gSession.currentDevice) CloseSession();
  if (n >= gSession.bridgeCount) {
    return OpenThrough(kPortBackend, kBackendDriverPort, n,
                       static_cast<uint8_t>(n - gSession.bridgeCount));
  }
  // A bridge box already open stays open with its counts; a driver-port number is opened
  // afresh every time.
  if (n == gSession.currentDevice && IsOpen()) return gSession.openResult;
  return OpenThrough(kBridgeBackend, kBackendBridge, n, n);
}

}  // namespace

bool CloseSession() {
  if (IsOpen()) SelectedBackend().closeSession();
  gSession.currentDevice = kNoDevice;
  gSession.openResult = kNotOpen;
  return true;
}

uint32_t PackedCounts() {
  return static_cast<uint32_t>(gSession.bridgeCount) << 8 | gSession.portCount;
}

extern "C" {

TEVRO_U32 TEVRO_CALL ScanForPos(void) {
  Enter();
  TEVRO_U32 counts = Leave(ScanBoxes());
  if (counts == 0) ShowNoBoxFound();
  return counts;
}

TEVRO_U32 TEVRO_CALL GetNumPos(void) {
  Enter();
  return Leave(PackedCounts());
}

void TEVRO_CALL GetFirmWareVersion(char* buf) {
  Enter();
  if (IsOpen() && buf != nullptr) SelectedBackend().getFirmWareVersion(buf);
  Leave();
}

TEVRO_S32 TEVRO_CALL OpenPosInterface(unsigned char n) {
  Enter();
  return Leave(OpenSession(n));
}

TEVRO_S32 TEVRO_CALL OpenPosInterfaceV(void) { return OpenPosInterface(0); }

TEVRO_BOOL TEVRO_CALL KasseOpen(void) {
  Enter();
  return Leave<TEVRO_BOOL>(IsOpen() && SelectedBackend().kick());
}

TEVRO_BOOL TEVRO_CALL KasseOpenP(void*) { return KasseOpen(); }

TEVRO_BOOL TEVRO_CALL KasseClose(void) {
  Enter();
  SelectedBackend().release();
  return Leave<TEVRO_BOOL>(1);
}

TEVRO_BOOL TEVRO_CALL KasseCloseP(void*) { return KasseClose(); }

TEVRO_BOOL TEVRO_CALL GetSwitch(char* readFlag) {
  Enter();
  char unused = 0;
  char* flag = readFlag != nullptr ? readFlag : &unused;
  if (!IsOpen()) {
    MessageBeep(MB_ICONEXCLAMATION);
    *flag = 0;
  } else {
    gSession.lastSwitch = SelectedBackend().getSwitch(flag) ? 1 : 0;
  }
  return Leave<TEVRO_BOOL>(gSession.lastSwitch != 0);
}

TEVRO_BOOL TEVRO_CALL GetSwitchP(void*, char* readFlag) { return GetSwitch(readFlag); }

TEVRO_U32 TEVRO_CALL GetLastOpenCnt(void) {
  Enter();
  return Leave(IsOpen() ? SelectedBackend().getLastOpenCnt() : 0);
}

TEVRO_U32 TEVRO_CALL GetLastOpenCntP(void*) { return GetLastOpenCnt(); }

TEVRO_U32 TEVRO_CALL GetLocalOpenCnt(void) {
  Enter();
  return Leave(SelectedBackend().getLocalOpenCnt());
}

TEVRO_U32 TEVRO_CALL GetLocalOpenCntP(void*) { return GetLocalOpenCnt(); }

TEVRO_U32 TEVRO_CALL GetTotalOpenCnt(void) {
  Enter();
  return Leave(SelectedBackend().getTotalOpenCnt());
}

TEVRO_U32 TEVRO_CALL GetTotalOpenCntP(void*) { return GetTotalOpenCnt(); }

TEVRO_U32 TEVRO_CALL GetSerialNumber(void) {
  Enter();
  return Leave(IsOpen() ? SelectedBackend().getSerialNumber() : 0);
}

TEVRO_U32 TEVRO_CALL GetSerialNumberP(void*) { return GetSerialNumber(); }

TEVRO_U32 TEVRO_CALL GetMfgDate(void) {
  Enter();
  return Leave(IsOpen() ? SelectedBackend().getMfgDate() : 0);
}

TEVRO_U32 TEVRO_CALL GetMfgDateP(void*) { return GetMfgDate(); }

TEVRO_BOOL TEVRO_CALL SetSerialNumber(TEVRO_U32 value) {
  Enter();
  return Leave<TEVRO_BOOL>(IsOpen() && SelectedBackend().setSerialNumber(value));
}

TEVRO_BOOL TEVRO_CALL SetMfgDate(TEVRO_U32 value) {
  Enter();
  return Leave<TEVRO_BOOL>(IsOpen() && SelectedBackend().setMfgDate(value));
}

TEVRO_BOOL TEVRO_CALL SetLastOpenCnt(TEVRO_U32 value) {
  Enter();
  return Leave<TEVRO_BOOL>(IsOpen() && SelectedBackend().setLastOpenCnt(value));
}

TEVRO_BOOL TEVRO_CALL ClosePosInterface(void) {
  Enter();
  return Leave<TEVRO_BOOL>(CloseSession());
}

TEVRO_BOOL TEVRO_CALL ClosePosInterfaceP(void*) { return ClosePosInterface(); }

}  // extern "C"
