// The identity record in the box's serial EEPROM: three unsigned 32-bit fields, least
// significant byte first, at addresses 0 (stored opening count), 4 (serial number) and
// 8 (manufacturing date). Addresses 12 to 127 are never touched.
#include <windows.h>

#include "common/little_endian.h"
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
  MicrowireStart(bus);
  EepromReadBlock(bus, bytes, address, kFieldBytes);
  MicrowireStop(bus);
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
  MicrowireStart(bus);
  EepromWriteEnable(bus);
  for (uint8_t i = kFieldBytes; i-- > 0;) {
    EepromWriteByte(bus, static_cast<uint8_t>(address + i), bytes[i]);
  }
  MicrowireResume(bus);
  EepromWriteDisable(bus);
  MicrowireStop(bus);
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

// A completed write of the counter keeps the copy in step; every completed write beeps.
void WriteCompleted(uint8_t address, uint32_t value) {
  if (address == kCountAddress) {
    gPortLink.storedOpenCnt = value;
    gPortLink.storedValid = true;
  }
  MessageBeep(0);
}

bool WriteField(uint8_t address, uint32_t value) {
  if (PortOpenDevice(gPortLink.deviceIndex) == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteOpenField(address, value);
  PortCloseDevice(gPortLink.deviceIndex);
  if (ok) WriteCompleted(address, value);
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

bool PortWriteBackOpenCnt(uint32_t* total) {
  *total = gPortLink.storedOpenCnt + gPortLink.localOpenCnt;
  PortOpenFailure failure = PortOpenFailure::kNone;
  if (PortOpenDevice(gPortLink.deviceIndex, &failure, kBoxCloseWaitMs) == INVALID_HANDLE_VALUE) {
    // Another caller keeps the box: the openings stay owed to it rather than lost.
    if (failure == PortOpenFailure::kBusy) {
      gPortLink.owedOpenings[gPortLink.deviceIndex] += gPortLink.localOpenCnt;
      gPortLink.openingsOwed = true;
    }
    return false;
  }
  // The counter as the box holds it now: another process may have counted openings
  // since this session read it.
  uint32_t base = 0;
  bool known = ReadOpenField(kCountAddress, &base);
  if (!known && gPortLink.storedValid) {
    base = gPortLink.storedOpenCnt;
    known = true;
  }
  bool ok = false;
  if (known) {
    *total = base + gPortLink.localOpenCnt;
    ok = WriteOpenField(kCountAddress, *total);
  }
  PortCloseDevice(gPortLink.deviceIndex);
  if (ok) WriteCompleted(kCountAddress, *total);
  return ok;
}

void PortSettleOwedOpenings(DWORD waitMs) {
  if (!gPortLink.openingsOwed) return;
  gPortLink.openingsOwed = false;
  for (uint8_t index = 0; index <= kPortMaxIndex; ++index) {
    uint32_t owed = gPortLink.owedOpenings[index];
    if (owed == 0) continue;
    PortOpenFailure failure = PortOpenFailure::kNone;
    if (PortOpenDevice(index, &failure, waitMs) == INVALID_HANDLE_VALUE) {
      // Still busy: owed on. Gone or not answering: lost, as a failed write-back at a close.
      if (failure != PortOpenFailure::kBusy) gPortLink.owedOpenings[index] = 0;
      if (failure == PortOpenFailure::kBusy) gPortLink.openingsOwed = true;
      continue;
    }
    uint32_t stored = 0;
    bool written =
        ReadOpenField(kCountAddress, &stored) && WriteOpenField(kCountAddress, stored + owed);
    PortCloseDevice(index);
    gPortLink.owedOpenings[index] = 0;
    if (written) MessageBeep(0);
  }
}
