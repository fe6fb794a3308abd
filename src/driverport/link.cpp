// Port transfers, device open and close, the probe, and the session open and close.
#include "driverport/link.h"

#include "common/fine_clock.h"
#include "common/open_result.h"
#include "common/trace.h"
#include "driverport/driverport.h"

PortBackendState gPortBackend;

namespace {

const char kDeviceTemplate[] = "\\\\.\\Drelvan_0";

constexpr uint8_t kRequestRead = 0x14;
constexpr uint8_t kRequestPinWrite = 0x15;
constexpr uint8_t kRequestDrawerWrite = 0x17;
constexpr uint8_t kSelectStatus = 0x14;
constexpr uint8_t kSelectDrawer = 0x2F;
constexpr uint8_t kSelectPins = 0x00;

uint16_t BoxBit(uint8_t box) { return static_cast<uint16_t>(1u << box); }

// A brief wait for ready: the longest a part of this family programs a byte, and some.
constexpr int64_t kBriefWaitUs = 10000;

// A pulse on the open box that has fallen due is released before the next request goes out,
// in the middle of an EEPROM instruction too: the drawer write leaves the pin port alone.
// The request's blocks are kept as its caller set them.
void ReleaseDuePulseFirst(PortDevice& device) {
  if (device.pulseDueAt == 0 || device.releasing || FineNow() < device.pulseDueAt) return;
  const PortCommand command = device.blocks.command;
  const PortReply reply = device.blocks.reply;
  device.releasing = true;
  PortReleaseDuePulse(device);
  device.releasing = false;
  device.blocks.command = command;
  device.blocks.reply = reply;
}

Status Request(PortDevice& device, DWORD code) {
  ReleaseDuePulseFirst(device);
  PortBlocks& blocks = device.blocks;
  BOOL ok = DeviceIoControl(device.handle, code, blocks.command.bytes, sizeof blocks.command.bytes,
                            blocks.reply.bytes, sizeof blocks.reply.bytes, &device.bytesReturned,
                            nullptr);
  const Status status =
      ok ? kDone : Failure(Cause::kRequestFailed, "DeviceIoControl", GetLastError());
  TraceRequest(ok != FALSE);
  return status;
}

PortExchange Exchange(PortDevice& device, DWORD code) {
  const Status status = Request(device, code);
  return PortExchange{status, device.blocks.reply};
}

// The first pin transfer of the EEPROM work that failed says why the work failed.
bool NotePinTransfer(PortDevice& device, const Status& status) {
  if (!status.ok() && device.eepromFailure.ok()) device.eepromFailure = status;
  return status.ok();
}

}  // namespace

bool IsValidStatus(uint8_t status) { return (status & 0x08) == 0 && (status & 0xF0) == 0xF0; }

PortDevice::PortDevice() : eeprom{{PortPinWrite, PortPinSample, PortNowUs, PortPause, this}, {}} {}

PortOpening::PortOpening(uint8_t box, DWORD waitMs) : status_(kDone) {
  if (box >= kBoxes) {
    status_ = Failure(Cause::kNoSuchBox);
    return;
  }
  // The record first: a squatter's keeps the box from being taken.
  PortSharedRecord(box);
  const BoxTurn turn = TakeBoxForOperation(BoxKind::kPort, box, waitMs);
  // Kept by another caller, or not to be used (a squatter's objects).
  if (!turn.taken()) {
    status_ = turn.status;
    return;
  }
  PortDevice& device = device_;
  device.boxTaken = true;
  device.turn = turn;
  device.box = box;
  if (turn.lastHolderDied) {
    // It may have left the EEPROM inside an instruction, programming, with writes enabled.
    SharedBoxRecord* record = PortSharedRecord(box);
    if (record != nullptr) {
      record->eepromState = (record->eepromState & ~kEepromStateBits) | kEepromKnown |
                            kEepromUnsure | kEepromWritesEnabled | kEepromProgramming;
    }
  }
  char path[64];
  DWORD length = 0;
  for (; kDeviceTemplate[length] != '\0'; ++length) path[length] = kDeviceTemplate[length];
  path[length - 1] = static_cast<char>('0' + box);
  path[length] = '\0';
  device.handle =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device.handle == INVALID_HANDLE_VALUE) {
    status_ = Failure(Cause::kNoDevice, "CreateFileA", GetLastError());
    Close();
    return;
  }
  device.blocks = gPortBackend.blocks;
  gPortBackend.usedBoxes |= BoxBit(box);
  PortExchange read = PortReadStatus(device);
  // A failed read leaves the reply as the previous transfer left it: only a status that
  // is not valid there asks for recovery.
  if (!IsValidStatus(read.reply.bytes[1])) read = Exchange(device, kPortRecoveryCode);
  if (!read.ok() || !IsValidStatus(read.reply.bytes[1])) {
    status_ = read.ok() ? Failure(Cause::kNoAnswer) : read.status;
    Close();
    return;
  }
  PortReleaseOrphanedPulse(device);
}

void PortOpening::Close() {
  PortDevice& device = device_;
  if (device.handle != INVALID_HANDLE_VALUE) {
    CloseHandle(device.handle);
    device.handle = INVALID_HANDLE_VALUE;
    gPortBackend.blocks = device.blocks;
  }
  device.pulseDueAt = 0;
  if (device.boxTaken) {
    device.boxTaken = false;
    UnlockBox(BoxKind::kPort, device.box);
  }
}

bool PortBeginEepromWork(PortDevice& device, EepromPatience patience) {
  Microwire& bus = device.eeprom;
  const uint8_t box = device.box;
  bus.state.active = false;
  device.eepromFailure = kDone;
  if (!device.turn.status.ok()) {
    TraceEvent("wait", "port %u: its EEPROM is not driven without the box's lock", box);
    return false;
  }
  SharedBoxRecord* record = PortSharedRecord(box);
  device.pulseDueAt = PortPulseDueAt(box);
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
  device.eepromWritesEnabled = (left & kEepromWritesEnabled) != 0;
  MicrowireStart(bus);
  if (patience == EepromPatience::kBrief) bus.state.readyByUs = PortNowUs(nullptr) + kBriefWaitUs;
  if (bus.state.programming) {
    const bool foundStuck = (gPortBackend.stuckBoxes & BoxBit(box)) != 0;
    if (!MicrowireAwaitReady(bus, !foundStuck)) return false;
  }
  if (device.eepromWritesEnabled && EepromWriteDisable(bus)) {
    device.eepromWritesEnabled = false;
  }
  return !bus.state.halted;
}

void PortFinishEepromWork() {
  for (uint8_t box = 0; box < kBoxes; ++box) {
    if ((gPortBackend.usedBoxes & BoxBit(box)) == 0) continue;
    const SharedBoxRecord* record = PortSharedRecordIfOpen(box);
    const uint32_t left = record != nullptr ? record->eepromState : gPortBackend.eepromLeft[box];
    if ((left & kEepromKnown) == 0 || (left & (kEepromWritesEnabled | kEepromProgramming)) == 0) {
      continue;
    }
    PortOpening opening(box, 0);
    if (!opening.ok()) continue;
    PortBeginEepromWork(opening.device(), EepromPatience::kBrief);
    PortEndEepromWork(opening.device());
  }
}

void PortMarkWritesEnabled(PortDevice& device) {
  device.eepromWritesEnabled = true;
  SharedBoxRecord* record = PortSharedRecord(device.box);
  if (record != nullptr) record->eepromState |= kEepromWritesEnabled;
}

void PortMarkWritesDisabled(PortDevice& device) { device.eepromWritesEnabled = false; }

void PortEndEepromWork(PortDevice& device) {
  Microwire& bus = device.eeprom;
  if (!bus.state.active) return;  // Begin found the box without its lock
  MicrowireStop(bus);
  device.pulseDueAt = 0;
  const uint8_t box = device.box;
  if (bus.state.stuck) {
    gPortBackend.stuckBoxes |= BoxBit(box);
    TraceEvent("eeprom", "port %u: the part did not show ready within %u ms; nothing more sent",
               box, static_cast<unsigned>(kReadyLimitUs / 1000));
  } else if (!bus.state.programming) {
    gPortBackend.stuckBoxes &= static_cast<uint16_t>(~BoxBit(box));
  }
  const uint32_t left = kEepromKnown | (bus.state.unsure ? kEepromUnsure : 0) |
                        (device.eepromWritesEnabled ? kEepromWritesEnabled : 0) |
                        (bus.state.programming ? kEepromProgramming : 0);
  gPortBackend.eepromLeft[box] = static_cast<uint8_t>(left);
  SharedBoxRecord* record = PortSharedRecord(box);
  if (record == nullptr) return;
  record->eepromState = (record->eepromState & ~kEepromStateBits) | left;
}

void PortNoteCounterWrite(const PortDevice& device) {
  SharedBoxRecord* record = PortSharedRecord(device.box);
  if (record != nullptr) record->eepromState += kCounterWriteStep;
}

bool PortCounterWrites(const PortDevice& device, uint32_t* writes) {
  SharedBoxRecord* record = PortSharedRecord(device.box);
  if (record == nullptr) return false;
  *writes = record->eepromState / kCounterWriteStep;
  return true;
}

PortExchange PortReadStatus(PortDevice& device) {
  device.blocks.command.bytes[0] = kRequestRead;
  device.blocks.command.bytes[1] = kSelectStatus;
  return Exchange(device, kPortRequestCode);
}

Status PortWriteDrawer(PortDevice& device, uint8_t pattern) {
  device.blocks.command.bytes[0] = kRequestDrawerWrite;
  device.blocks.command.bytes[1] = kSelectDrawer;
  device.blocks.command.bytes[2] = pattern;
  return Request(device, kPortRequestCode);
}

Status PortWritePins(PortDevice& device, uint8_t pattern) {
  device.blocks.command.bytes[0] = kRequestPinWrite;
  device.blocks.command.bytes[1] = kSelectPins;
  device.blocks.command.bytes[2] = pattern;
  device.blocks.lastPins = pattern;
  return Request(device, kPortRequestCode);
}

// The sample carries the pin pattern in force, as after the pin write before it, also where
// a drawer release went out in between.
PortExchange PortSamplePins(PortDevice& device) {
  device.blocks.command.bytes[0] = kRequestRead;
  device.blocks.command.bytes[1] = kSelectPins;
  device.blocks.command.bytes[2] = device.blocks.lastPins;
  return Exchange(device, kPortRequestCode);
}

bool PortPinWrite(void* context, uint8_t pattern) {
  PortDevice& device = *static_cast<PortDevice*>(context);
  return NotePinTransfer(device, PortWritePins(device, pattern));
}

int64_t PortNowUs(void*) { return MicrosecondsSince(0); }

void PortPause(void*) { Sleep(1); }

bool PortPinSample(void* context, uint8_t* reply) {
  PortDevice& device = *static_cast<PortDevice*>(context);
  const PortExchange sample = PortSamplePins(device);
  *reply = sample.reply.bytes[1];
  return NotePinTransfer(device, sample.status);
}

Status PortProbe(uint8_t box, int32_t* opened) {
  PortOpening opening(box);
  if (!opening.ok()) return opening.status();
  PortDevice& device = opening.device();
  const HANDLE handle = device.handle;
  // Written back only as read: a status that did not come is not made up.
  const PortExchange read = PortReadStatus(device);
  const uint8_t port = read.reply.bytes[1];
  const bool valid = read.ok() && IsValidStatus(port);
  const Status written = valid ? PortWriteDrawer(device, PortProbeWriteBack(box, port)) : kDone;
  opening.Close();
  if (read.ok() && !valid) return Failure(Cause::kNoAnswer);
  if (!read.ok()) return read.status;
  if (!written.ok()) return written;
  *opened = OpenResultFromHandle(handle);
  return kDone;
}

Status PortOpenSession(uint8_t box, CounterSeen* counter, int32_t* opened) {
  gPortBackend.sessionBox = box;
  const Status status = PortProbe(box, opened);
  if (!status.ok()) return status;
  uint32_t value = 0;
  PortReadField(IdentityField::kLastOpenCnt, &value, counter);
  return kDone;
}

void PortCloseSession() { gPortBackend.sessionBox = kNoBox; }
