// Microwire framing of the serial EEPROM over the pin port.
//
// A pin transfer that fails may or may not have reached the box. If it was a clock edge
// that got lost, the part would read the bits that follow as another instruction (with
// writes enabled, an erase or a write of every cell). So after a failed transfer the rest
// of the instruction's clocking is abandoned and only the deselect that ends it goes out:
// the part then holds a prefix of the intended instruction, which it discards. The next
// instruction starts with a deselect when the last one may not have reached the box.
#include "driverport/microwire.h"

#include "driverport/port_link.h"

namespace {

constexpr uint8_t kAddressMask = 0x7F;

bool DeviceOpen() { return gPortLink.handle != INVALID_HANDLE_VALUE; }

void Halt() {
  gPortLink.pinsHalted = true;
  gPortLink.pinsUnsure = true;
}

// One pin change within an instruction; nothing once the instruction is abandoned.
void Pins(uint8_t pattern) {
  if (gPortLink.pinsHalted) return;
  if (!PortWritePins(pattern)) Halt();
}

// One look at data out; false when it was not taken (the reply holds an older value).
bool Sample() {
  if (gPortLink.pinsHalted) return false;
  if (PortSamplePins()) return true;
  Halt();
  return false;
}

// Deselect: ends (or abandons) an instruction and returns the part to a known state.
void Deselect() {
  bool ok = PortWritePins(kPinsDeselect);
  gPortLink.pinsUnsure = !ok;
  if (!ok) gPortLink.pinsHalted = true;
}

// Select and the instruction word. False, with nothing sent, when an earlier failure left
// the operation abandoned.
bool BeginInstruction(uint32_t word) {
  if (gPortLink.pinsHalted) return false;
  if (gPortLink.pinsUnsure) {
    Deselect();
    if (gPortLink.pinsHalted) return false;
  }
  Pins(kPinsSelect);
  ShiftOutBits(word, kWordBits);
  return true;
}

// An instruction that programs cells: waits for ready if asked, then deselects.
bool FinishProgramming(bool waitReady) {
  bool ok = !waitReady || EepromWaitReady();
  Deselect();
  return ok && !gPortLink.pinsHalted;
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
    Pins(pattern);
    pattern |= kPinClock;
    Pins(pattern);
    pattern &= static_cast<uint8_t>(~kPinClock);
    Pins(pattern);
  }
}

uint32_t ShiftInBits(uint32_t count) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < count; ++i) {
    value <<= 1;
    Pins(kPinsClockHigh);
    // A sample not taken loses the bits gathered so far; the current bit is read from the
    // reply as the failed transfer left it.
    if (!Sample()) value = 0;
    if (gPortLink.reply.bytes[1] & kPinDataOut) value += 1;
    Pins(kPinsSelect);
  }
  return value;
}

bool EepromWaitReady() {
  Pins(kPinsDeselect);  // starts the programming
  Pins(kPinsSelect);
  for (uint32_t poll = 0; poll < kMaxReadyPolls && !gPortLink.pinsHalted; ++poll) {
    Pins(kPinsClockHigh);
    Sample();
    bool ready = (gPortLink.reply.bytes[1] & kPinDataOut) != 0;
    Pins(kPinsSelect);
    if (ready && !gPortLink.pinsHalted) return true;
  }
  return false;
}

uint8_t EepromReadByte(uint8_t address) {
  if (!DeviceOpen() || !BeginInstruction(kReadWord | (address & kAddressMask))) return 0;
  uint8_t value = static_cast<uint8_t>(ShiftInBits(8));
  Deselect();
  return value;
}

bool EepromWriteByte(uint8_t address, uint8_t value, bool waitReady) {
  if (!DeviceOpen() || !BeginInstruction(kWriteWord | (address & kAddressMask))) return false;
  ShiftOutBits(value, 8);
  return FinishProgramming(waitReady);
}

bool EepromWriteEnable() {
  if (!DeviceOpen() || gPortLink.pinsHalted) return false;
  Deselect();
  if (!BeginInstruction(kWriteEnableWord)) return true;
  Deselect();
  return true;
}

bool EepromWriteDisable() {
  if (!DeviceOpen() || !BeginInstruction(kWriteDisableWord)) return false;
  Deselect();
  return !gPortLink.pinsHalted;
}

bool EepromErase(uint8_t address, bool waitReady) {
  if (!DeviceOpen() || !BeginInstruction(kEraseWord | (address & kAddressMask))) return false;
  return FinishProgramming(waitReady);
}

bool EepromEraseAll(bool waitReady) {
  if (!DeviceOpen() || !BeginInstruction(kEraseAllWord)) return false;
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
