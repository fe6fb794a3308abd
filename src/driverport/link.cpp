// Port transfers, device open and close, the probe, and the session open and close.
#include "driverport/link.h"

#include "common/open_result.h"
#include "common/trace.h"
#include "driverport/driverport.h"

PortLink gPortLink;

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

HANDLE PortOpenDevice(uint8_t index, BoxReach* reach, DWORD waitMs) {
  BoxReach unused;
  BoxReach& how = reach != nullptr ? *reach : unused;
  how = BoxReach::kNoAnswer;
  if (index > kPortMaxIndex) return INVALID_HANDLE_VALUE;
  const BoxTurn turn = TakeBoxForOperation(BoxKind::kPort, index, waitMs);
  if (turn.reach == BoxReach::kBusy) {
    how = BoxReach::kBusy;
    return INVALID_HANDLE_VALUE;
  }
  gPortLink.boxLocked = true;
  gPortLink.turn = turn;
  gPortLink.openIndex = index;
  if (turn.lastHolderDied) {
    // It may have left the EEPROM inside an instruction with writes enabled.
    SharedBoxRecord* record = PortSharedRecord(index);
    if (record != nullptr) {
      record->eepromState =
          (record->eepromState & ~kEepromStateBits) | kEepromUnsure | kEepromWritesEnabled;
    }
  }
  char path[64];
  DWORD length = 0;
  for (; kDeviceTemplate[length] != '\0'; ++length) path[length] = kDeviceTemplate[length];
  path[length - 1] = static_cast<char>('0' + index);
  path[length] = '\0';
  gPortLink.handle =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (gPortLink.handle == INVALID_HANDLE_VALUE) {
    gPortLink.boxLocked = false;
    gPortLink.openIndex = kPortNoIndex;
    UnlockBox(BoxKind::kPort, index);
    how = BoxReach::kNoDevice;
    return INVALID_HANDLE_VALUE;
  }
  gPortLink.usedBoxes |= static_cast<uint16_t>(1u << index);
  bool ok = PortReadStatus();
  // A failed read leaves the reply as the previous transfer left it: only a status that
  // is not valid there asks for recovery.
  if (!IsValidStatus(gPortLink.reply.bytes[1])) ok = Request(kPortRecoveryCode);
  if (!ok || !IsValidStatus(gPortLink.reply.bytes[1])) {
    PortCloseDevice(index);
    return INVALID_HANDLE_VALUE;
  }
  PortReleaseOrphanedPulse(index);
  how = turn.reach;
  return gPortLink.handle;
}

void PortCloseDevice(uint8_t index) {
  if (index > kPortMaxIndex) return;
  CloseHandle(gPortLink.handle);
  gPortLink.handle = INVALID_HANDLE_VALUE;
  gPortLink.openIndex = kPortNoIndex;
  if (gPortLink.boxLocked) {
    gPortLink.boxLocked = false;
    UnlockBox(BoxKind::kPort, index);
  }
}

void PortBeginEepromWork() {
  Microwire& bus = gPortLink.eeprom;
  SharedBoxRecord* record = PortSharedRecord(gPortLink.openIndex);
  // Without a record nothing is known of the other processes: begin as after a failure.
  uint32_t left = record != nullptr ? record->eepromState : kEepromUnsure;
  if (record != nullptr) record->eepromState = left | kEepromUnsure;
  bus.state.unsure = (left & kEepromUnsure) != 0;
  gPortLink.eepromWritesEnabled = (left & kEepromWritesEnabled) != 0;
  MicrowireStart(bus);
  if (gPortLink.eepromWritesEnabled && EepromWriteDisable(bus)) {
    gPortLink.eepromWritesEnabled = false;
  }
}

void PortMarkWritesEnabled() {
  gPortLink.eepromWritesEnabled = true;
  SharedBoxRecord* record = PortSharedRecord(gPortLink.openIndex);
  if (record != nullptr) record->eepromState |= kEepromWritesEnabled;
}

void PortMarkWritesDisabled() { gPortLink.eepromWritesEnabled = false; }

void PortEndEepromWork() {
  Microwire& bus = gPortLink.eeprom;
  MicrowireStop(bus);
  SharedBoxRecord* record = PortSharedRecord(gPortLink.openIndex);
  if (record == nullptr) return;
  record->eepromState = (record->eepromState & ~kEepromStateBits) |
                        (bus.state.unsure ? kEepromUnsure : 0) |
                        (gPortLink.eepromWritesEnabled ? kEepromWritesEnabled : 0);
}

void PortNoteCounterWrite() {
  SharedBoxRecord* record = PortSharedRecord(gPortLink.openIndex);
  if (record != nullptr) record->eepromState += kCounterWriteStep;
}

bool PortCounterWrites(uint32_t* writes) {
  SharedBoxRecord* record = PortSharedRecord(gPortLink.openIndex);
  if (record == nullptr) return false;
  *writes = record->eepromState / kCounterWriteStep;
  return true;
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

void PortBetweenInstructions(void*) { PortReleaseDuePulse(gPortLink.openIndex); }

bool PortPinSample(void*, uint8_t* reply) {
  bool ok = PortSamplePins();
  *reply = gPortLink.reply.bytes[1];
  return ok;
}

int32_t PortProbe(uint8_t index, BoxReach* reach) {
  HANDLE handle = PortOpenDevice(index, reach);
  if (handle == INVALID_HANDLE_VALUE) return kNotOpen;
  PortReadStatus();
  uint8_t status = gPortLink.reply.bytes[1];
  // A line left energised by no living process (its pulse's owner died before the release,
  // or no record of it at all) is released rather than written back as it reads.
  uint8_t pattern = status | kStatusSwitch;
  if ((status & kStatusDrawer) == 0) {
    PulseOwner owner = OwnerOf(PortSharedRecord(index));
    if (owner == PulseOwner::kNone || owner == PulseOwner::kGoneProcess) {
      pattern |= kStatusDrawer;
      TraceEvent("pulse", "port %u: its drawer line was energised by no living process; released",
                 index);
    }
  }
  bool ok = PortWriteDrawer(pattern);
  PortCloseDevice(index);
  if (!ok || !IsValidStatus(status)) return kNotOpen;
  return OpenResultFromHandle(handle);
}

int32_t PortOpenSession(uint8_t index, CounterSeen* counter) {
  gPortLink.deviceIndex = index;
  int32_t result = PortProbe(index);
  if (result == kNotOpen) return result;
  uint32_t value = 0;
  PortReadField(IdentityField::kLastOpenCnt, &value, nullptr, counter);
  return result;
}

void PortCloseSession() { gPortLink.deviceIndex = kPortNoIndex; }

bool PortBeginOperation(uint8_t index) {
  if (gPortLink.holding) return index == gPortLink.openIndex;
  return PortOpenDevice(index) != INVALID_HANDLE_VALUE;
}

void PortEndOperation(uint8_t index) {
  if (!gPortLink.holding) PortCloseDevice(index);
}
