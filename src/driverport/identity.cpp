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

// A field read as one operation on box 'index': false when the box cannot be opened or a
// transfer failed.
bool ReadField(uint8_t index, uint8_t address, uint32_t* value) {
  if (PortOpenDevice(index) == INVALID_HANDLE_VALUE) return false;
  bool ok = ReadOpenField(address, value);
  PortCloseDevice(index);
  return ok;
}

// A completed write of the session box's counter keeps the copy in step; every completed
// write beeps.
void WriteCompleted(uint8_t index, uint8_t address, uint32_t value) {
  if (address == kCountAddress && index == gPortLink.deviceIndex) {
    gPortLink.storedOpenCnt = value;
    gPortLink.storedValid = true;
  }
  MessageBeep(0);
}

// Device open: a box whose turn could not be had is never written.
bool MayWrite() {
  if (gPortLink.boxGuarded) return true;
  TraceEvent("wait", "port %u: not written without the box's turn", gPortLink.openIndex);
  return false;
}

bool WriteField(uint8_t address, uint32_t value) {
  const uint8_t index = gPortLink.deviceIndex;
  if (PortOpenDevice(index) == INVALID_HANDLE_VALUE) return false;
  bool ok = MayWrite() && WriteOpenField(address, value);
  PortCloseDevice(index);
  if (ok) WriteCompleted(index, address, value);
  return ok;
}

uint32_t GetField(uint8_t address) {
  uint32_t value = 0;
  return ReadField(gPortLink.deviceIndex, address, &value) ? value : 0;
}

}  // namespace

bool PortReadCounterOf(uint8_t index, uint32_t* value) {
  return ReadField(index, kCountAddress, value);
}

uint32_t PortGetLastOpenCnt() {
  uint32_t value = 0;
  if (!PortReadCounterOf(gPortLink.deviceIndex, &value)) return 0;
  gPortLink.storedOpenCnt = value;
  gPortLink.storedValid = true;
  return value;
}

uint32_t PortGetSerialNumber() { return GetField(kSerialAddress); }
uint32_t PortGetMfgDate() { return GetField(kDateAddress); }

bool PortSetSerialNumber(uint32_t value) { return WriteField(kSerialAddress, value); }
bool PortSetMfgDate(uint32_t value) { return WriteField(kDateAddress, value); }
bool PortSetLastOpenCnt(uint32_t value) { return WriteField(kCountAddress, value); }

BoxReach PortHoldBox(uint8_t index, DWORD waitMs) {
  BoxReach reach = BoxReach::kNoAnswer;
  if (PortOpenDevice(index, &reach, waitMs) == INVALID_HANDLE_VALUE) return reach;
  if (reach == BoxReach::kUnguarded) PortCloseDevice(index);
  return reach;
}

void PortLetGo(uint8_t index) { PortCloseDevice(index); }

bool PortReadHeldCounter(uint32_t* value) { return ReadOpenField(kCountAddress, value); }

bool PortWriteHeldCounter(uint32_t value) {
  if (!WriteOpenField(kCountAddress, value)) return false;
  WriteCompleted(gPortLink.openIndex, kCountAddress, value);
  return true;
}

bool PortCachedCounter(uint32_t* value) {
  if (!gPortLink.storedValid) return false;
  *value = gPortLink.storedOpenCnt;
  return true;
}
