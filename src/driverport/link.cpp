// Port transfers, device open and close, the probe, and the session open and close.
#include "driverport/link.h"

#include "common/fine_clock.h"
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

uint16_t BoxBit(uint8_t index) { return static_cast<uint16_t>(1u << index); }

// A brief wait for ready: the longest a part of this family programs a byte, and some.
constexpr int64_t kBriefWaitUs = 10000;

// A pulse on the open box that has fallen due is released before the next request goes out,
// in the middle of an EEPROM instruction too: the drawer write leaves the pin port alone.
// The request's blocks are kept as its caller set them.
void ReleaseDuePulseFirst() {
  if (gPortLink.pulseDueAt == 0 || gPortLink.releasing || FineNow() < gPortLink.pulseDueAt) return;
  const PortCommand command = gPortLink.command;
  const PortReply reply = gPortLink.reply;
  gPortLink.releasing = true;
  PortReleaseDuePulse(gPortLink.openIndex);
  gPortLink.releasing = false;
  gPortLink.command = command;
  gPortLink.reply = reply;
}

bool Request(DWORD code) {
  ReleaseDuePulseFirst();
  BOOL ok = DeviceIoControl(gPortLink.handle, code, gPortLink.command.bytes,
                            sizeof gPortLink.command.bytes, gPortLink.reply.bytes,
                            sizeof gPortLink.reply.bytes, &gPortLink.bytesReturned, nullptr);
  TraceRequest(ok != FALSE);
  return ok != FALSE;
}

}  // namespace

bool IsValidStatus(uint8_t status) { return (status & 0x08) == 0 && (status & 0xF0) == 0xF0; }

Status PortOpenDevice(uint8_t index, DWORD waitMs) {
  if (index >= kBoxes) return Failure(Cause::kNoSuchBox);
  // The record first: a squatter's keeps the box from being taken.
  PortSharedRecord(index);
  const BoxTurn turn = TakeBoxForOperation(BoxKind::kPort, index, waitMs);
  // Kept by another caller, or not to be used (a squatter's objects).
  if (!turn.taken()) return turn.status;
  gPortLink.boxLocked = true;
  gPortLink.turn = turn;
  gPortLink.openIndex = index;
  gPortLink.pulseDueAt = 0;
  if (turn.lastHolderDied) {
    // It may have left the EEPROM inside an instruction, programming, with writes enabled.
    SharedBoxRecord* record = PortSharedRecord(index);
    if (record != nullptr) {
      record->eepromState = (record->eepromState & ~kEepromStateBits) | kEepromKnown |
                            kEepromUnsure | kEepromWritesEnabled | kEepromProgramming;
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
    const Status status = Failure(Cause::kNoDevice, "CreateFileA", GetLastError());
    gPortLink.boxLocked = false;
    gPortLink.openIndex = kNoBox;
    UnlockBox(BoxKind::kPort, index);
    return status;
  }
  gPortLink.usedBoxes |= static_cast<uint16_t>(1u << index);
  bool ok = PortReadStatus();
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  // A failed read leaves the reply as the previous transfer left it: only a status that
  // is not valid there asks for recovery.
  if (!IsValidStatus(gPortLink.reply.bytes[1])) {
    ok = Request(kPortRecoveryCode);
    error = ok ? ERROR_SUCCESS : GetLastError();
  }
  if (!ok || !IsValidStatus(gPortLink.reply.bytes[1])) {
    PortCloseDevice(index);
    return ok ? Failure(Cause::kNoAnswer)
              : Failure(Cause::kRequestFailed, "DeviceIoControl", error);
  }
  PortReleaseOrphanedPulse(index);
  return kDone;
}

void PortCloseDevice(uint8_t index) {
  if (index >= kBoxes) return;
  CloseHandle(gPortLink.handle);
  gPortLink.handle = INVALID_HANDLE_VALUE;
  gPortLink.openIndex = kNoBox;
  gPortLink.pulseDueAt = 0;
  if (gPortLink.boxLocked) {
    gPortLink.boxLocked = false;
    UnlockBox(BoxKind::kPort, index);
  }
}

bool PortBeginEepromWork(EepromPatience patience) {
  Microwire& bus = gPortLink.eeprom;
  const uint8_t index = gPortLink.openIndex;
  bus.state.active = false;
  if (!gPortLink.turn.status.ok()) {
    TraceEvent("wait", "port %u: its EEPROM is not driven without the box's lock", index);
    return false;
  }
  SharedBoxRecord* record = PortSharedRecord(index);
  gPortLink.pulseDueAt = PortPulseDueAt(index);
  // Without the record, another process may have left the part in any state; with one that
  // knows nothing (just made, or left by an earlier version), it may still be programming.
  uint32_t left = record != nullptr ? record->eepromState
                                    : kEepromProgramming | kEepromWritesEnabled | kEepromKnown;
  if ((left & kEepromKnown) == 0) left |= kEepromProgramming;
  if (record != nullptr) {
    record->eepromState = (record->eepromState & ~kEepromStateBits) | kEepromKnown | kEepromUnsure |
                          kEepromProgramming | (left & kEepromWritesEnabled);
  }
  bus.state.unsure = true;
  bus.state.programming = (left & kEepromProgramming) != 0;
  gPortLink.eepromWritesEnabled = (left & kEepromWritesEnabled) != 0;
  MicrowireStart(bus);
  if (patience == EepromPatience::kBrief) bus.state.readyByUs = PortNowUs(nullptr) + kBriefWaitUs;
  if (bus.state.programming) {
    const bool foundStuck = (gPortLink.stuckBoxes & BoxBit(index)) != 0;
    if (!MicrowireAwaitReady(bus, !foundStuck)) return false;
  }
  if (gPortLink.eepromWritesEnabled && EepromWriteDisable(bus)) {
    gPortLink.eepromWritesEnabled = false;
  }
  return !bus.state.halted;
}

void PortFinishEepromWork() {
  for (uint8_t index = 0; index < kBoxes; ++index) {
    if ((gPortLink.usedBoxes & BoxBit(index)) == 0) continue;
    const SharedBoxRecord* record = PortSharedRecordIfOpen(index);
    const uint32_t left = record != nullptr ? record->eepromState : gPortLink.eepromLeft[index];
    if ((left & kEepromKnown) == 0 || (left & (kEepromWritesEnabled | kEepromProgramming)) == 0) {
      continue;
    }
    if (!PortOpenDevice(index, 0).ok()) continue;
    PortBeginEepromWork(EepromPatience::kBrief);
    PortEndEepromWork();
    PortCloseDevice(index);
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
  if (!bus.state.active) return;  // Begin found the box without its lock
  MicrowireStop(bus);
  gPortLink.pulseDueAt = 0;
  const uint8_t index = gPortLink.openIndex;
  if (bus.state.stuck) {
    gPortLink.stuckBoxes |= BoxBit(index);
    TraceEvent("eeprom", "port %u: the part did not show ready within %u ms; nothing more sent",
               index, static_cast<unsigned>(kReadyLimitUs / 1000));
  } else if (!bus.state.programming) {
    gPortLink.stuckBoxes &= static_cast<uint16_t>(~BoxBit(index));
  }
  const uint32_t left = kEepromKnown | (bus.state.unsure ? kEepromUnsure : 0) |
                        (gPortLink.eepromWritesEnabled ? kEepromWritesEnabled : 0) |
                        (bus.state.programming ? kEepromProgramming : 0);
  gPortLink.eepromLeft[index] = static_cast<uint8_t>(left);
  SharedBoxRecord* record = PortSharedRecord(index);
  if (record == nullptr) return;
  record->eepromState = (record->eepromState & ~kEepromStateBits) | left;
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
  gPortLink.lastPins = pattern;
  return PortTransfer();
}

// The sample carries the pin pattern in force, as after the pin write before it, also where
// a drawer release went out in between.
bool PortSamplePins() {
  gPortLink.command.bytes[0] = kRequestRead;
  gPortLink.command.bytes[1] = kSelectPins;
  gPortLink.command.bytes[2] = gPortLink.lastPins;
  return PortTransfer();
}

bool PortPinWrite(void*, uint8_t pattern) { return PortWritePins(pattern); }

int64_t PortNowUs(void*) { return MicrosecondsSince(0); }

void PortPause(void*) { Sleep(1); }

bool PortPinSample(void*, uint8_t* reply) {
  bool ok = PortSamplePins();
  *reply = gPortLink.reply.bytes[1];
  return ok;
}

Status PortProbe(uint8_t index, int32_t* opened) {
  const Status status = PortOpenDevice(index);
  if (!status.ok()) return status;
  const HANDLE handle = gPortLink.handle;
  // Written back only as read: a status that did not come is not made up.
  const bool read = PortReadStatus();
  const uint8_t port = gPortLink.reply.bytes[1];
  const bool valid = read && IsValidStatus(port);
  const bool ok = valid && PortWriteDrawer(PortProbeWriteBack(index, port));
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  PortCloseDevice(index);
  if (read && !valid) return Failure(Cause::kNoAnswer);
  if (!ok) return Failure(Cause::kRequestFailed, "DeviceIoControl", error);
  *opened = OpenResultFromHandle(handle);
  return kDone;
}

Status PortOpenSession(uint8_t box, CounterSeen* counter, int32_t* opened) {
  gPortLink.deviceIndex = box;
  const Status status = PortProbe(box, opened);
  if (!status.ok()) return status;
  uint32_t value = 0;
  PortReadField(IdentityField::kLastOpenCnt, &value, counter);
  return kDone;
}

void PortCloseSession() { gPortLink.deviceIndex = kNoBox; }

Status PortBeginOperation(uint8_t index) {
  if (gPortLink.holding) return index == gPortLink.openIndex ? kDone : Failure(Cause::kBusy);
  return PortOpenDevice(index);
}

void PortEndOperation(uint8_t index) {
  if (!gPortLink.holding) PortCloseDevice(index);
}
