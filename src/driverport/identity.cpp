// The identity record in the box's serial EEPROM: three unsigned 32-bit fields, least
// significant byte first, at addresses 0 (stored opening count), 4 (serial number) and
// 8 (manufacturing date). Addresses 12 to 127 are never touched.
#include <windows.h>

#include "common/little_endian.h"
#include "common/trace.h"
#include "driverport/driverport.h"
#include "driverport/link.h"
#include "driverport/microwire.h"

namespace {

constexpr uint8_t kCountAddress = 0;
constexpr uint8_t kSerialAddress = 4;
constexpr uint8_t kDateAddress = 8;
constexpr uint8_t kFieldBytes = 4;
constexpr uint32_t kBitsPerByte = 8;

// Device open; reads the field with one read instruction. With 'expected' given, the read
// stops after the low byte when that byte is expected's, and the field is taken to be as
// expected (the caller knows its other bytes); otherwise it goes on into the other bytes.
// False when a transfer failed (value unusable).
bool ReadOpenField(uint8_t address, uint32_t* value, const uint32_t* expected) {
  Microwire& bus = gPortLink.eeprom;
  uint8_t bytes[kFieldBytes] = {};
  PortBeginEepromWork();
  if (MicrowireBeginInstruction(bus, kReadWord | address)) {
    bytes[0] = static_cast<uint8_t>(ShiftInBits(bus, kBitsPerByte));
    const bool asExpected =
        expected != nullptr && !bus.state.failed && bytes[0] == (*expected & 0xFF);
    if (asExpected) PutLe32(bytes, *expected);
    for (uint8_t i = 1; i < kFieldBytes && !asExpected; ++i) {
      bytes[i] = static_cast<uint8_t>(ShiftInBits(bus, kBitsPerByte));
    }
    MicrowireEndInstruction(bus);
  }
  PortEndEepromWork();
  *value = GetLe32(bytes);
  return !bus.state.failed;
}

// Device open; writes the field's bytes that differ from what the box holds ('holds'; all
// four when it is not known) between write enable and write disable: a byte is never
// written with the value it holds. True, with nothing sent, when none differs; false when
// a transfer failed. The most significant byte is programmed first: a write cut short
// leaves the old value's low bytes under the new value's high ones, so a growing counter
// never reads back below its old value. Write disable goes out even after a failure.
bool WriteOpenField(uint8_t address, uint32_t value, const uint32_t* holds) {
  Microwire& bus = gPortLink.eeprom;
  uint8_t bytes[kFieldBytes];
  uint8_t old[kFieldBytes];
  PutLe32(bytes, value);
  PutLe32(old, holds != nullptr ? *holds : ~value);
  bool any = false;
  for (uint8_t i = 0; i < kFieldBytes; ++i) any = any || bytes[i] != old[i];
  if (!any) return true;
  PortBeginEepromWork();
  PortMarkWritesEnabled(true);
  EepromWriteEnable(bus);
  for (uint8_t i = kFieldBytes; i-- > 0;) {
    if (bytes[i] != old[i]) EepromWriteByte(bus, static_cast<uint8_t>(address + i), bytes[i]);
  }
  MicrowireResume(bus);
  if (EepromWriteDisable(bus)) PortMarkWritesEnabled(false);
  PortEndEepromWork();
  return !bus.state.failed;
}

uint8_t AddressOf(IdentityField field) {
  switch (field) {
    case IdentityField::kLastOpenCnt:
      return kCountAddress;
    case IdentityField::kSerialNumber:
      return kSerialAddress;
    case IdentityField::kMfgDate:
      return kDateAddress;
  }
  return kCountAddress;
}

// The box an operation addresses: the held one inside a hold, else the session's.
uint8_t TargetBox() { return gPortLink.holding ? gPortLink.openIndex : gPortLink.deviceIndex; }

// A field read as one operation on box 'index': false when the box cannot be reached or a
// transfer failed.
bool ReadField(uint8_t index, uint8_t address, uint32_t* value, const uint32_t* expected) {
  if (!PortBeginOperation(index)) return false;
  bool ok = ReadOpenField(address, value, expected);
  PortEndOperation(index);
  return ok;
}

// A read or a completed write of the session box's counter keeps the copy in step.
void CounterSeen(uint8_t index, uint32_t value) {
  if (index != gPortLink.deviceIndex) return;
  gPortLink.storedOpenCnt = value;
  gPortLink.storedValid = true;
}

// Device open: a box whose lock could not be had is never written.
bool MayWrite() {
  if (gPortLink.mayWrite) return true;
  TraceEvent("wait", "port %u: not written without the box's lock", gPortLink.openIndex);
  return false;
}

}  // namespace

bool PortReadField(IdentityField field, uint32_t* value, const uint32_t* expected) {
  const uint8_t index = TargetBox();
  uint32_t read = 0;
  if (!ReadField(index, AddressOf(field), &read, expected)) return false;
  if (field == IdentityField::kLastOpenCnt) CounterSeen(index, read);
  *value = read;
  return true;
}

bool PortWriteField(IdentityField field, uint32_t value, const uint32_t* holds) {
  const uint8_t index = TargetBox();
  if (!PortBeginOperation(index)) return false;
  bool ok = MayWrite() && WriteOpenField(AddressOf(field), value, holds);
  PortEndOperation(index);
  if (!ok) return false;
  if (field == IdentityField::kLastOpenCnt) CounterSeen(index, value);
  MessageBeep(0);
  return true;
}

bool PortStoredCounter(uint32_t* value) {
  if (!gPortLink.storedValid) return false;
  *value = gPortLink.storedOpenCnt;
  return true;
}

BoxReach PortHoldBox(uint8_t index, DWORD waitMs) {
  BoxReach reach = BoxReach::kNoAnswer;
  if (PortOpenDevice(index, &reach, waitMs) == INVALID_HANDLE_VALUE) return reach;
  if (reach == BoxReach::kWithoutLock) {
    PortCloseDevice(index);
    return reach;
  }
  gPortLink.holding = true;
  return reach;
}

void PortLetGo(uint8_t index) {
  gPortLink.holding = false;
  PortCloseDevice(index);
}
