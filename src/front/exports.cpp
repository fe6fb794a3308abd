// The exported functions: each looks at the session record and calls at most one
// operation of the selected backend.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

#include "common/process_lock.h"
#include "common/trace.h"
#include "front/backends.h"
#include "front/openings.h"
#include "front/session.h"
#include "tevro.h"

SessionState gSession = {kNoDevice, 0, 0, kBackendDriverPort, 1, kNotOpen, 0};

const Backend& SelectedBackend() {
  return gSession.backend == kBackendBridge ? kBridgeBackend : kPortBackend;
}

namespace {

bool IsOpen() { return gSession.openResult != kNotOpen; }

// Every export starts here: the process lock is taken, the trace is looked at, and what is
// overdue on the boxes is ended first (front/session.h). 'name' is the export's name in
// tevro.h; 'format' and what follows give its arguments as the trace shows them.

void Enter(const char* name) {
  LockProcess();
  TraceRefresh();
  if (Tracing()) TraceCallBegin(name, "");
  SettleBoxes();
}

void Enter(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Enter(const char* name, const char* format, ...) {
  LockProcess();
  TraceRefresh();
  if (Tracing()) {
    char args[48];
    va_list list;
    va_start(list, format);
    vsnprintf(args, sizeof args, format, list);
    va_end(list);
    TraceCallBegin(name, args);
  }
  SettleBoxes();
}

// Every export ends here, with its result ('format' shows it in the trace). The trace's
// lines are written now: no box is held any more.
template <typename T>
T Leave(T result, const char* format) {
  if (Tracing()) {
    char text[24];
    snprintf(text, sizeof text, format, result);
    TraceCallEnd(text);
  }
  TraceUnlockProcess();
  return result;
}
TEVRO_BOOL LeaveBool(bool result) { return Leave<TEVRO_BOOL>(result ? 1 : 0, "%u"); }
TEVRO_U32 LeaveCount(uint32_t result) { return Leave<TEVRO_U32>(result, "%u"); }
void LeaveVoid() {
  if (Tracing()) {
    TraceCallEnd("nothing");
  }
  TraceUnlockProcess();
}

const char* Pointer(const void* p) { return p == nullptr ? "NULL" : "not NULL"; }

// Opens number n through 'backend' at its index there; on success the record selects it.
int32_t OpenThrough(const Backend& backend, int32_t id, uint8_t n, uint8_t index) {
  gSession.openResult = backend.openSession(index);
  if (IsOpen()) {
    gSession.backend = id;
    gSession.currentDevice = n;
    gSession.boxIndex = index;
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

bool GetSwitchOf(char* readFlag) {
  char unused = 0;
  char* flag = readFlag != nullptr ? readFlag : &unused;
  if (!IsOpen()) {
    MessageBeep(MB_ICONEXCLAMATION);
    *flag = 0;
  } else {
    gSession.lastSwitch = SelectedBackend().getSwitch(flag) ? 1 : 0;
  }
  return gSession.lastSwitch != 0;
}

bool KickOpenBox() { return IsOpen() && SelectedBackend().kick(); }
uint32_t LastOpenCnt() { return IsOpen() ? SelectedBackend().getLastOpenCnt() : 0; }
uint32_t SerialNumber() { return IsOpen() ? SelectedBackend().getSerialNumber() : 0; }
uint32_t MfgDate() { return IsOpen() ? SelectedBackend().getMfgDate() : 0; }

void Release() {
  const Backend& backend = SelectedBackend();
  if (backend.release != nullptr) backend.release();
}

}  // namespace

void SettleBoxes() {
  for (const Backend* backend : kBackends) {
    if (backend->settle != nullptr) backend->settle();
  }
  SettleOwedOpenings(0);
}

bool CloseSession() {
  if (IsOpen()) {
    const Backend& backend = SelectedBackend();
    // The drawer is released before the openings are written back.
    if (backend.completePulse != nullptr) backend.completePulse("the close");
    uint32_t local = backend.getLocalOpenCnt();
    uint32_t total = backend.getTotalOpenCnt();
    if (local != 0) total = WriteBackOpenings(backend, gSession.boxIndex, local, total);
    backend.closeSession(total);
  }
  gSession.currentDevice = kNoDevice;
  gSession.openResult = kNotOpen;
  return true;
}

uint32_t PackedCounts() {
  return static_cast<uint32_t>(gSession.bridgeCount) << 8 | gSession.portCount;
}

extern "C" {

TEVRO_U32 TEVRO_CALL ScanForPos(void) {
  Enter("ScanForPos");
  TEVRO_U32 counts = Leave<TEVRO_U32>(ScanBoxes(), "0x%04X");
  if (counts == 0) ShowNoBoxFound();
  return counts;
}

TEVRO_U32 TEVRO_CALL GetNumPos(void) {
  Enter("GetNumPos");
  return Leave<TEVRO_U32>(PackedCounts(), "0x%04X");
}

void TEVRO_CALL GetFirmWareVersion(char* buf) {
  Enter("GetFirmWareVersion", "%s", Pointer(buf));
  if (IsOpen() && buf != nullptr) SelectedBackend().getFirmWareVersion(buf);
  LeaveVoid();
}

TEVRO_S32 TEVRO_CALL OpenPosInterface(unsigned char n) {
  Enter("OpenPosInterface", "%u", n);
  return Leave<TEVRO_S32>(OpenSession(n), "%d");
}

TEVRO_S32 TEVRO_CALL OpenPosInterfaceV(void) {
  Enter("OpenPosInterfaceV");
  return Leave<TEVRO_S32>(OpenSession(0), "%d");
}

TEVRO_BOOL TEVRO_CALL KasseOpen(void) {
  Enter("KasseOpen");
  return LeaveBool(KickOpenBox());
}

TEVRO_BOOL TEVRO_CALL KasseOpenP(void* ignored) {
  Enter("KasseOpenP", "%s", Pointer(ignored));
  return LeaveBool(KickOpenBox());
}

TEVRO_BOOL TEVRO_CALL KasseClose(void) {
  Enter("KasseClose");
  Release();
  return LeaveBool(true);
}

TEVRO_BOOL TEVRO_CALL KasseCloseP(void* ignored) {
  Enter("KasseCloseP", "%s", Pointer(ignored));
  Release();
  return LeaveBool(true);
}

TEVRO_BOOL TEVRO_CALL GetSwitch(char* readFlag) {
  Enter("GetSwitch", "%s", Pointer(readFlag));
  return LeaveBool(GetSwitchOf(readFlag));
}

TEVRO_BOOL TEVRO_CALL GetSwitchP(void* ignored, char* readFlag) {
  Enter("GetSwitchP", "%s, %s", Pointer(ignored), Pointer(readFlag));
  return LeaveBool(GetSwitchOf(readFlag));
}

TEVRO_U32 TEVRO_CALL GetLastOpenCnt(void) {
  Enter("GetLastOpenCnt");
  return LeaveCount(LastOpenCnt());
}

TEVRO_U32 TEVRO_CALL GetLastOpenCntP(void* ignored) {
  Enter("GetLastOpenCntP", "%s", Pointer(ignored));
  return LeaveCount(LastOpenCnt());
}

TEVRO_U32 TEVRO_CALL GetLocalOpenCnt(void) {
  Enter("GetLocalOpenCnt");
  return LeaveCount(SelectedBackend().getLocalOpenCnt());
}

TEVRO_U32 TEVRO_CALL GetLocalOpenCntP(void* ignored) {
  Enter("GetLocalOpenCntP", "%s", Pointer(ignored));
  return LeaveCount(SelectedBackend().getLocalOpenCnt());
}

TEVRO_U32 TEVRO_CALL GetTotalOpenCnt(void) {
  Enter("GetTotalOpenCnt");
  return LeaveCount(SelectedBackend().getTotalOpenCnt());
}

TEVRO_U32 TEVRO_CALL GetTotalOpenCntP(void* ignored) {
  Enter("GetTotalOpenCntP", "%s", Pointer(ignored));
  return LeaveCount(SelectedBackend().getTotalOpenCnt());
}

TEVRO_U32 TEVRO_CALL GetSerialNumber(void) {
  Enter("GetSerialNumber");
  return LeaveCount(SerialNumber());
}

TEVRO_U32 TEVRO_CALL GetSerialNumberP(void* ignored) {
  Enter("GetSerialNumberP", "%s", Pointer(ignored));
  return LeaveCount(SerialNumber());
}

TEVRO_U32 TEVRO_CALL GetMfgDate(void) {
  Enter("GetMfgDate");
  return LeaveCount(MfgDate());
}

TEVRO_U32 TEVRO_CALL GetMfgDateP(void* ignored) {
  Enter("GetMfgDateP", "%s", Pointer(ignored));
  return LeaveCount(MfgDate());
}

TEVRO_BOOL TEVRO_CALL SetSerialNumber(TEVRO_U32 value) {
  Enter("SetSerialNumber", "%u", value);
  return LeaveBool(IsOpen() && SelectedBackend().setSerialNumber(value));
}

TEVRO_BOOL TEVRO_CALL SetMfgDate(TEVRO_U32 value) {
  Enter("SetMfgDate", "%u", value);
  return LeaveBool(IsOpen() && SelectedBackend().setMfgDate(value));
}

TEVRO_BOOL TEVRO_CALL SetLastOpenCnt(TEVRO_U32 value) {
  Enter("SetLastOpenCnt", "%u", value);
  return LeaveBool(IsOpen() && SelectedBackend().setLastOpenCnt(value));
}

TEVRO_BOOL TEVRO_CALL ClosePosInterface(void) {
  Enter("ClosePosInterface");
  return LeaveBool(CloseSession());
}

TEVRO_BOOL TEVRO_CALL ClosePosInterfaceP(void* ignored) {
  Enter("ClosePosInterfaceP", "%s", Pointer(ignored));
  return LeaveBool(CloseSession());
}

}  // extern "C"
