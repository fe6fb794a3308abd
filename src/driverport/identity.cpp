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

// Device open; reads the field. False when a transfer failed (value unusable).
bool ReadOpenField(uint8_t address, uint32_t* value) {
  Microwire& bus = gPortLink.eeprom;
  uint8_t bytes[kFieldBytes] = {};
  PortBeginEepromWork();
  EepromReadBlock(bus, bytes, address, kFieldBytes);
  PortEndEepromWork();
  *value = GetLe32(bytes);
  return !bus.state.failed;
}

// Device open; writes the field between write enable and write disable. False when a
// transfer failed. The most significant byte is programmed first: a write cut short
// leaves the old value's low bytes under the new value's high ones, so a growing counter
// never reads back below its old value. Write disable goes out even after a failure.
bool WriteOpenField(uint8_t address, uint32_t value) {
  Microwire& bus = gPortLink.eeprom;
  uint8_t bytes[kFieldBytes];
  PutLe32(bytes, value);
  PortBeginEepromWork();
  PortMarkWritesEnabled(true);
  EepromWriteEnable(bus);
  for (uint8_t i = kFieldBytes; i-- > 0;) {
    EepromWriteByte(bus, static_cast<uint8_t>(address + i), bytes[i]);
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
bool ReadField(uint8_t index, uint8_t address, uint32_t* value) {
  if (!PortBeginOperation(index)) return false;
  bool ok = ReadOpenField(address, value);
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

bool PortReadCounterOf(uint8_t index, uint32_t* value) {
  return ReadField(index, kCountAddress, value);
}

bool PortReadField(IdentityField field, uint32_t* value) {
  const uint8_t index = TargetBox();
  uint32_t read = 0;
  if (!ReadField(index, AddressOf(field), &read)) return false;
  if (field == IdentityField::kLastOpenCnt) CounterSeen(index, read);
  *value = read;
  return true;
}

bool PortWriteField(IdentityField field, uint32_t value, const uint32_t*) {
  const uint8_t index = TargetBox();
  if (!PortBeginOperation(index)) return false;
  bool ok = MayWrite() && WriteOpenField(AddressOf(field), value);
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
