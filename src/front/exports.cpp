// The exported functions: each is one ExportCall, which first ends what is overdue on every
// backend (FinishOverdueWork), then looks at the session record and calls the selected
// backend's entries its rule needs (a kick, a read: one; a close: the pulse, the openings'
// write-back, the close). What an entry's Status means to the application is decided in
// front/results.h.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

#include "common/trace.h"
#include "front/backends.h"
#include "front/counter_copy.h"
#include "front/export_call.h"
#include "front/openings.h"
#include "front/results.h"
#include "front/session.h"
#include "tevro.h"

// Straight after load GetSwitch reports the switch closed; a bridge box that has not yet
// answered reports it open.
SessionState gSession = {
    .selected = kNoBox,
    .bridgeCount = 0,
    .portCount = 0,
    .backend = &kPortBackend,
    .openResult = kNotOpen,
    .box = 0,
    .counts = {.local = 0, .closed = false, .closedTotal = 0},
    .switchState = {.lastResult = true, .lastRead = false},
};

ExportCall::ExportCall(const char* name) : tracing_(false), result_("nothing") {
  TraceRefresh();
  Begin(name, "");
}

ExportCall::ExportCall(const char* name, const char* format, ...)
    : tracing_(false), result_("nothing") {
  TraceRefresh();
  char args[48] = "";
  if (Tracing()) {
    va_list list;
    va_start(list, format);
    vsnprintf(args, sizeof args, format, list);
    va_end(list);
  }
  Begin(name, args);
}

void ExportCall::Begin(const char* name, const char* args) {
  tracing_ = Tracing();
  if (tracing_) TraceCallBegin(name, args);
  FinishOverdueWork();
}

ExportCall::~ExportCall() {
  if (tracing_) TraceCallEnd(result_);
}

namespace {

const Backend& Selected() { return *gSession.backend; }
bool IsOpen() { return gSession.openResult != kNotOpen; }

// Opens the application's number n, box 'box' of 'backend'; on success the record selects it.
// The local count starts again with every attempt. A pulse still running on the backend's
// boxes is completed first.
int32_t OpenThrough(const Backend& backend, uint8_t n, uint8_t box) {
  gSession.counts.local = 0;
  CompletePulse(backend, "an open");
  AddressCounterCopy(backend, box);
  CounterSeen counter = {};
  int32_t opened = kNotOpen;
  const Status status = Reported(backend, box, backend.openSession(box, &counter, &opened));
  gSession.openResult = OpenResult(status, opened);
  NoteCounterSeen(backend, box, counter);
  if (IsOpen()) {
    gSession.backend = &backend;
    gSession.selected = n;
    gSession.box = box;
    gSession.counts.closed = false;  // the last close's total stands until a box is open
  }
  return gSession.openResult;
}

int32_t OpenSession(uint8_t n) {
  if (n != gSession.selected) CloseSession();
  if (n >= gSession.bridgeCount) {
    return OpenThrough(kPortBackend, n, static_cast<uint8_t>(n - gSession.bridgeCount));
  }
  // A bridge box already open stays open with its counts; a driver-port number is opened
  // afresh every time.
  if (n == gSession.selected && IsOpen()) return gSession.openResult;
  return OpenThrough(kBridgeBackend, n, n);
}

// What came of an operation on the session's box, as its caller is told it.
const Status& OnSessionBox(const Status& status) {
  return Reported(Selected(), gSession.box, status);
}

bool Kick() {
  if (!IsOpen()) return false;
  bool counted = false;
  const Status status = OnSessionBox(Selected().kick(&counted));
  if (counted) ++gSession.counts.local;
  return Succeeded(status);
}

void Release() {
  if (Selected().pulse == nullptr) return;
  const Status status = Selected().pulse->release();
  if (IsOpen()) OnSessionBox(status);
}

// A box that cannot be read now reports the state read last where the backend repeats it
// (the bridge), else open; with no box open, GetSwitch reports what it reported last.
bool Switch(char* readFlag) {
  char unused = 0;
  char* flag = readFlag != nullptr ? readFlag : &unused;
  SwitchMemory& memory = gSession.switchState;
  if (!IsOpen()) {
    MessageBeep(MB_ICONEXCLAMATION);
    *flag = 0;
    return memory.lastResult;
  }
  bool closed = false;
  const bool readNow = Succeeded(OnSessionBox(Selected().readSwitch(&closed)));
  if (Selected().failedSwitchRead == FailedSwitchRead::kLastStateRead) {
    if (readNow) memory.lastRead = closed;
    memory.lastResult = memory.lastRead;
  } else {
    memory.lastResult = readNow && closed;
  }
  *flag = readNow ? 1 : 0;
  return memory.lastResult;
}

uint32_t Field(IdentityField field) {
  if (!IsOpen()) return 0;
  uint32_t value = 0;
  CounterSeen counter = {};
  const Status status = OnSessionBox(Selected().readField(field, &value, &counter));
  NoteCounterSeen(Selected(), gSession.box, counter);
  return FieldResult(status, value);
}

bool SetField(IdentityField field, uint32_t value) {
  if (!IsOpen()) return false;
  CounterSeen counter = {};
  const Status status = OnSessionBox(Selected().writeField(field, value, &counter));
  NoteCounterSeen(Selected(), gSession.box, counter);
  return Succeeded(status);
}

uint32_t LocalOpenings() { return gSession.counts.local; }

// The stored counter as the session last saw it, plus its openings; after a close, the
// total it wrote back.
uint32_t TotalOpenings() {
  if (gSession.counts.closed) return gSession.counts.closedTotal;
  uint32_t stored = 0;
  if (!CounterCopyOf(Selected(), &stored)) stored = 0;
  return stored + gSession.counts.local;
}

void FirmwareText(char* buf) {
  if (IsOpen() && buf != nullptr) Selected().firmwareText(buf);
}

const char* Pointer(const void* p) { return p == nullptr ? "NULL" : "not NULL"; }

TEVRO_BOOL Bool(bool value) { return value ? 1 : 0; }

}  // namespace

void FinishOverdueWork() {
  for (const Backend* backend : kBackends) {
    if (backend->pulse != nullptr) backend->pulse->finishOverdue();
  }
  RetryOwedOpenings(0);
}

void CompletePulse(const Backend& backend, const char* endedBy) {
  if (backend.pulse != nullptr) backend.pulse->completePulse(endedBy);
}

bool CloseSession() {
  if (IsOpen()) {
    const Backend& backend = Selected();
    // The drawer is released before the openings are written back.
    CompletePulse(backend, "the close");
    const uint32_t local = gSession.counts.local;
    uint32_t total = TotalOpenings();
    if (local != 0) total = WriteBackOpenings(backend, gSession.box, local, total);
    gSession.counts.closed = true;
    gSession.counts.closedTotal = total;
    backend.closeSession();
    AddressCounterCopy(backend, kNoBox);
  }
  gSession.selected = kNoBox;
  gSession.openResult = kNotOpen;
  return true;
}

uint32_t PackedCounts() {
  return static_cast<uint32_t>(gSession.bridgeCount) << 8 | gSession.portCount;
}

extern "C" {

TEVRO_U32 TEVRO_CALL ScanForPos(void) {
  TEVRO_U32 counts = 0;
  {
    ExportCall call("ScanForPos");
    counts = call.Result<TEVRO_U32>(ScanBoxes(), "0x%04X");
  }
  if (counts == 0) ShowNoBoxFound();
  return counts;
}

TEVRO_U32 TEVRO_CALL GetNumPos(void) {
  ExportCall call("GetNumPos");
  return call.Result<TEVRO_U32>(PackedCounts(), "0x%04X");
}

void TEVRO_CALL GetFirmWareVersion(char* buf) {
  ExportCall call("GetFirmWareVersion", "%s", Pointer(buf));
  FirmwareText(buf);
}

TEVRO_S32 TEVRO_CALL OpenPosInterface(unsigned char n) {
  ExportCall call("OpenPosInterface", "%u", n);
  return call.Result<TEVRO_S32>(OpenSession(n), "%d");
}

TEVRO_S32 TEVRO_CALL OpenPosInterfaceV(void) {
  ExportCall call("OpenPosInterfaceV");
  return call.Result<TEVRO_S32>(OpenSession(0), "%d");
}

TEVRO_BOOL TEVRO_CALL KasseOpen(void) {
  ExportCall call("KasseOpen");
  return call.Result(Bool(Kick()), "%u");
}

TEVRO_BOOL TEVRO_CALL KasseOpenP(void* ignored) {
  ExportCall call("KasseOpenP", "%s", Pointer(ignored));
  return call.Result(Bool(Kick()), "%u");
}

TEVRO_BOOL TEVRO_CALL KasseClose(void) {
  ExportCall call("KasseClose");
  Release();
  return call.Result(Bool(true), "%u");
}

TEVRO_BOOL TEVRO_CALL KasseCloseP(void* ignored) {
  ExportCall call("KasseCloseP", "%s", Pointer(ignored));
  Release();
  return call.Result(Bool(true), "%u");
}

TEVRO_BOOL TEVRO_CALL GetSwitch(char* readFlag) {
  ExportCall call("GetSwitch", "%s", Pointer(readFlag));
  return call.Result(Bool(Switch(readFlag)), "%u");
}

TEVRO_BOOL TEVRO_CALL GetSwitchP(void* ignored, char* readFlag) {
  ExportCall call("GetSwitchP", "%s, %s", Pointer(ignored), Pointer(readFlag));
  return call.Result(Bool(Switch(readFlag)), "%u");
}

TEVRO_U32 TEVRO_CALL GetLastOpenCnt(void) {
  ExportCall call("GetLastOpenCnt");
  return call.Result<TEVRO_U32>(Field(IdentityField::kLastOpenCnt), "%u");
}

TEVRO_U32 TEVRO_CALL GetLastOpenCntP(void* ignored) {
  ExportCall call("GetLastOpenCntP", "%s", Pointer(ignored));
  return call.Result<TEVRO_U32>(Field(IdentityField::kLastOpenCnt), "%u");
}

TEVRO_U32 TEVRO_CALL GetLocalOpenCnt(void) {
  ExportCall call("GetLocalOpenCnt");
  return call.Result<TEVRO_U32>(LocalOpenings(), "%u");
}

TEVRO_U32 TEVRO_CALL GetLocalOpenCntP(void* ignored) {
  ExportCall call("GetLocalOpenCntP", "%s", Pointer(ignored));
  return call.Result<TEVRO_U32>(LocalOpenings(), "%u");
}

TEVRO_U32 TEVRO_CALL GetTotalOpenCnt(void) {
  ExportCall call("GetTotalOpenCnt");
  return call.Result<TEVRO_U32>(TotalOpenings(), "%u");
}

TEVRO_U32 TEVRO_CALL GetTotalOpenCntP(void* ignored) {
  ExportCall call("GetTotalOpenCntP", "%s", Pointer(ignored));
  return call.Result<TEVRO_U32>(TotalOpenings(), "%u");
}

TEVRO_U32 TEVRO_CALL GetSerialNumber(void) {
  ExportCall call("GetSerialNumber");
  return call.Result<TEVRO_U32>(Field(IdentityField::kSerialNumber), "%u");
}

TEVRO_U32 TEVRO_CALL GetSerialNumberP(void* ignored) {
  ExportCall call("GetSerialNumberP", "%s", Pointer(ignored));
  return call.Result<TEVRO_U32>(Field(IdentityField::kSerialNumber), "%u");
}

TEVRO_U32 TEVRO_CALL GetMfgDate(void) {
  ExportCall call("GetMfgDate");
  return call.Result<TEVRO_U32>(Field(IdentityField::kMfgDate), "%u");
}

TEVRO_U32 TEVRO_CALL GetMfgDateP(void* ignored) {
  ExportCall call("GetMfgDateP", "%s", Pointer(ignored));
  return call.Result<TEVRO_U32>(Field(IdentityField::kMfgDate), "%u");
}

TEVRO_BOOL TEVRO_CALL SetSerialNumber(TEVRO_U32 value) {
  ExportCall call("SetSerialNumber", "%u", value);
  return call.Result(Bool(SetField(IdentityField::kSerialNumber, value)), "%u");
}

TEVRO_BOOL TEVRO_CALL SetMfgDate(TEVRO_U32 value) {
  ExportCall call("SetMfgDate", "%u", value);
  return call.Result(Bool(SetField(IdentityField::kMfgDate, value)), "%u");
}

TEVRO_BOOL TEVRO_CALL SetLastOpenCnt(TEVRO_U32 value) {
  ExportCall call("SetLastOpenCnt", "%u", value);
  return call.Result(Bool(SetField(IdentityField::kLastOpenCnt, value)), "%u");
}

TEVRO_BOOL TEVRO_CALL ClosePosInterface(void) {
  ExportCall call("ClosePosInterface");
  return call.Result(Bool(CloseSession()), "%u");
}

TEVRO_BOOL TEVRO_CALL ClosePosInterfaceP(void* ignored) {
  ExportCall call("ClosePosInterfaceP", "%s", Pointer(ignored));
  return call.Result(Bool(CloseSession()), "%u");
}

}  // extern "C"
