// Microwire framing of the serial EEPROM over the pin port.
#include "driverport/microwire.h"

#include "driverport/port_link.h"

namespace {

constexpr uint8_t kAddressMask = 0x7F;

bool DeviceOpen() { return gPortLink.handle != INVALID_HANDLE_VALUE; }

// Select, the instruction word, and the part that follows it comes from the caller.
void BeginInstruction(uint32_t word) {
  PortWritePins(kPinsSelect);
  ShiftOutBits(word, kWordBits);
}

// An instruction that programs cells: waits for ready if asked, then deselects.
bool FinishProgramming(bool waitReady) {
  bool ok = !waitReady || EepromWaitReady();
  PortWritePins(kPinsDeselect);
  return ok;
}

}  // namespace

void ShiftOutBits(uint32_t value, uint32_t count) {
  uint8_t pattern = kPinsSelect;
  for (uint32_t bit = count; bit-- > 0;) {
    if ((value >> bit) & 1) {
      pattern |= kPinDataIn;
    } else {
      pattern &= static_cast<uint8_t>(~kPinDataIn);
    }
    PortWritePins(pattern);
    pattern |= kPinClock;
    PortWritePins(pattern);
    pattern &= static_cast<uint8_t>(~kPinClock);
    PortWritePins(pattern);
  }
}

uint32_t ShiftInBits(uint32_t count) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < count; ++i) {
    value <<= 1;
    PortWritePins(kPinsClockHigh);
    // A failed sample loses the bits gathered so far; the current bit is taken from the
    // reply as the failed transfer left it.
    if (!PortSamplePins()) value = 0;
    if (gPortLink.reply.bytes[1] & kPinDataOut) value += 1;
    PortWritePins(kPinsSelect);
  }
  return value;
}

bool EepromWaitReady() {
  PortWritePins(kPinsDeselect);  // starts the programming
  PortWritePins(kPinsSelect);
  for (uint32_t poll = 0; poll < kMaxReadyPolls; ++poll) {
    PortWritePins(kPinsClockHigh);
    PortSamplePins();
    bool ready = (gPortLink.reply.bytes[1] & kPinDataOut) != 0;
    PortWritePins(kPinsSelect);
    if (ready) return true;
  }
  return false;
}

uint8_t EepromReadByte(uint8_t address) {
  if (!DeviceOpen()) return 0;
  BeginInstruction(kReadWord | (address & kAddressMask));
  uint8_t value = static_cast<uint8_t>(ShiftInBits(8));
  PortWritePins(kPinsDeselect);
  return value;
}

bool EepromWriteByte(uint8_t address, uint8_t value, bool waitReady) {
  if (!DeviceOpen()) return false;
  BeginInstruction(kWriteWord | (address & kAddressMask));
  ShiftOutBits(value, 8);
  return FinishProgramming(waitReady);
}

bool EepromWriteEnable() {
  if (!DeviceOpen()) return false;
  PortWritePins(kPinsDeselect);
  BeginInstruction(kWriteEnableWord);
  PortWritePins(kPinsDeselect);
  return true;
}

bool EepromWriteDisable() {
  if (!DeviceOpen()) return false;
  BeginInstruction(kWriteDisableWord);
  PortWritePins(kPinsDeselect);
  return true;
}

bool EepromErase(uint8_t address, bool waitReady) {
  if (!DeviceOpen()) return false;
  BeginInstruction(kEraseWord | (address & kAddressMask));
  return FinishProgramming(waitReady);
}

bool EepromEraseAll(bool waitReady) {
  if (!DeviceOpen()) return false;
  BeginInstruction(kEraseAllWord);
  return FinishProgramming(waitReady);
}

void EepromReadBlock(uint8_t* destination, uint8_t start, uint8_t length) {
  if (!DeviceOpen()) return;
  for (uint8_t i = 0; i < length; ++i) {
    destination[i] = EepromReadByte(static_cast<uint8_t>(start + i));
  }
}

bool EepromWriteBlock(const uint8_t* source, uint8_t start, uint8_t length, bool waitReady) {
  if (!DeviceOpen()) return false;
  bool ok = true;
  for (uint8_t i = 0; i < length; ++i) {
    ok = EepromWriteByte(static_cast<uint8_t>(start + i), source[i], waitReady) && ok;
  }
  return ok;
}
