// Port transfers, device open and close, the probe, and the session open and close.
#include "driverport/link.h"

#include "common/open_result.h"
#include "common/trace.h"
#include "driverport/driverport.h"

DriverPortLink gPortLink;

namespace {

const char kDeviceTemplate[] = "\\\\.\\Drelvan_0";

constexpr uint8_t kRequestRead = 0x14;
constexpr uint8_t kRequestPinWrite = 0x15;
constexpr uint8_t kRequestDrawerWrite = 0x17;
constexpr uint8_t kSelectStatus = 0x14;
constexpr uint8_t kSelectDrawer = 0x2F;
constexpr uint8_t kSelectPins = 0x00;

bool Request(DWORD code) {
  BOOL ok = DeviceIoControl(gPortLink.handle, code, gPortLink.command.bytes,
                            sizeof gPortLink.command.bytes, gPortLink.reply.bytes,
                            sizeof gPortLink.reply.bytes, &gPortLink.bytesReturned, nullptr);
  TraceRequest(ok != FALSE);
  return ok != FALSE;
}

}  // namespace

bool IsValidStatus(uint8_t status) { return (status & 0x08) == 0 && (status & 0xF0) == 0xF0; }

namespace {

// The last holder of box 'index' died inside an operation: its EEPROM may be in the middle
// of an instruction with writes enabled. A deselect and a write disable let the next
// instruction begin cleanly, and the session's stored counter, when it is that box's, is
// read afresh before it is trusted.
void StartCleanAfterDeadHolder(uint8_t index) {
  Microwire& bus = gPortLink.eeprom;
  bus.state.unsure = true;
  MicrowireStart(bus);
  EepromWriteDisable(bus);
  MicrowireStop(bus);
  if (index == gPortLink.deviceIndex) gPortLink.storedValid = false;
}

HANDLE OpenFailed(PortOpenFailure why, PortOpenFailure* failure) {
  if (failure != nullptr) *failure = why;
  return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE PortOpenDevice(uint8_t index, PortOpenFailure* failure, DWORD waitMs) {
  if (failure != nullptr) *failure = PortOpenFailure::kNone;
  if (index > kPortMaxIndex) return OpenFailed(PortOpenFailure::kNoAnswer, failure);
  BoxTake take = TakeBox(BoxKind::kPort, index, waitMs);
  if (take == BoxTake::kBusy) return OpenFailed(PortOpenFailure::kBusy, failure);
  gPortLink.boxHeld = true;
  // A holder that died is remembered until a device open of the box gets as far as the
  // EEPROM's clean start.
  const uint16_t bit = static_cast<uint16_t>(1u << index);
  if (take == BoxTake::kAbandoned) {
    TraceEvent("wait", "port %u: its last holder died inside an operation", index);
    gPortLink.cleanStartsOwed |= bit;
  }
  char path[64];
  DWORD length = 0;
  for (; kDeviceTemplate[length] != '\0'; ++length) path[length] = kDeviceTemplate[length];
  path[length - 1] = static_cast<char>('0' + index);
  path[length] = '\0';
  gPortLink.handle =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (gPortLink.handle == INVALID_HANDLE_VALUE) {
    gPortLink.boxHeld = false;
    GiveBox(BoxKind::kPort, index);
    return OpenFailed(PortOpenFailure::kNoDevice, failure);
  }
  bool ok = PortReadStatus();
  // A failed read leaves the reply as the previous transfer left it: only a status that
  // is not valid there asks for recovery.
  if (!IsValidStatus(gPortLink.reply.bytes[1])) ok = Request(kPortRecoveryCode);
  if (!ok || !IsValidStatus(gPortLink.reply.bytes[1])) {
    PortCloseDevice(index);
    return OpenFailed(PortOpenFailure::kNoAnswer, failure);
  }
  if ((gPortLink.cleanStartsOwed & bit) != 0) {
    gPortLink.cleanStartsOwed &= static_cast<uint16_t>(~bit);
    StartCleanAfterDeadHolder(index);
  }
  PortReleaseOrphanedPulse(index);
  return gPortLink.handle;
}

void PortCloseDevice(uint8_t index) {
  if (index > kPortMaxIndex) return;
  CloseHandle(gPortLink.handle);
  gPortLink.handle = INVALID_HANDLE_VALUE;
  if (gPortLink.boxHeld) {
    gPortLink.boxHeld = false;
    GiveBox(BoxKind::kPort, index);
  }
}

bool PortTransfer() { return Request(kPortRequestCode); }

bool PortReadStatus() {
  gPortLink.command.bytes[0] = kRequestRead;
  gPortLink.command.bytes[1] = kSelectStatus;
  return PortTransfer();
}

bool PortWriteDrawer(uint8_t pattern) {
  gPortLink.command.bytes[0] = kRequestDrawerWrite;
  gPortLink.command.bytes[1] = kSelectDrawer;
  gPortLink.command.bytes[2] = pattern;
  return PortTransfer();
}

bool PortWritePins(uint8_t pattern) {
  gPortLink.command.bytes[0] = kRequestPinWrite;
  gPortLink.command.bytes[1] = kSelectPins;
  gPortLink.command.bytes[2] = pattern;
  return PortTransfer();
}

bool PortSamplePins() {
  gPortLink.command.bytes[0] = kRequestRead;
  return PortTransfer();
}

bool PortPinWrite(void*, uint8_t pattern) { return PortWritePins(pattern); }

bool PortPinSample(void*, uint8_t* reply) {
  bool ok = PortSamplePins();
  *reply = gPortLink.reply.bytes[1];
  return ok;
}

int32_t PortProbe(uint8_t index, bool* busy) {
  PortOpenFailure failure = PortOpenFailure::kNone;
  HANDLE handle = PortOpenDevice(index, &failure);
  if (busy != nullptr) *busy = failure == PortOpenFailure::kBusy;
  if (handle == INVALID_HANDLE_VALUE) return kNotOpen;
  PortReadStatus();
  uint8_t status = gPortLink.reply.bytes[1];
  bool ok = PortWriteDrawer(status | kStatusSwitch);
  PortCloseDevice(index);
  if (!ok || !IsValidStatus(status)) return kNotOpen;
  return OpenResultFromHandle(handle);
}

int32_t PortOpenSession(uint8_t index) {
  PortCompletePulse("an open");
  gPortLink.localOpenCnt = 0;
  gPortLink.storedOpenCnt = 0;
  gPortLink.storedValid = false;
  gPortLink.deviceIndex = index;
  int32_t result = PortProbe(index);
  if (result == kNotOpen) return result;
  // The last close's total stands until a box is open again.
  gPortLink.closed = false;
  PortGetLastOpenCnt();
  return result;
}

bool PortCloseSession() {
  PortCompletePulse("the close");
  uint32_t total = gPortLink.storedOpenCnt + gPortLink.localOpenCnt;
  if (gPortLink.localOpenCnt != 0) PortWriteBackOpenCnt(&total);
  gPortLink.closed = true;
  gPortLink.closedTotal = total;
  gPortLink.deviceIndex = kPortNoIndex;
  return true;
}
