// The 93C46 serial EEPROM (8-bit organisation: 128 bytes, 7 address bits) on the box's
// pin port, driven one pin change per transfer. Every instruction is a select, a 10-bit
// word (start bit, 2 opcode bits, 7 address or sub-code bits) shifted out most
// significant bit first with data taken at the rising clock edge, the instruction's own
// part, and a deselect.
//
// All operations act on the device the caller has open (gPortLink.handle) and send
// nothing when none is open. Transfer costs: a byte read or write 56, write enable 33,
// write disable 32; a wait for ready 2 + 3 per poll.
#ifndef TEVRO_DRIVERPORT_MICROWIRE_H
#define TEVRO_DRIVERPORT_MICROWIRE_H

#include <stdint.h>

// Pin patterns: chip select 0x08, clock 0x10, data in 0x20; 0x40 keeps data out readable.
constexpr uint8_t kPinsDeselect = 0x40;
constexpr uint8_t kPinsSelect = 0x48;
constexpr uint8_t kPinsClockHigh = 0x58;
constexpr uint8_t kPinClock = 0x10;
constexpr uint8_t kPinDataIn = 0x20;
constexpr uint8_t kPinDataOut = 0x40;

// Instruction words (start bit included); address instructions OR in address & 0x7F.
constexpr uint32_t kReadWord = 0x300;
constexpr uint32_t kWriteWord = 0x280;
constexpr uint32_t kEraseWord = 0x380;
constexpr uint32_t kWriteEnableWord = 0x260;
constexpr uint32_t kWriteDisableWord = 0x200;
constexpr uint32_t kEraseAllWord = 0x240;
constexpr uint32_t kWordBits = 10;

// Polls of data out a wait for ready makes before it gives up; programming takes a few
// milliseconds, far fewer polls than this at one transfer per pin change.
constexpr uint32_t kMaxReadyPolls = 1000;

// Shift steps (no check for an open device).
void ShiftOutBits(uint32_t value, uint32_t count);
uint32_t ShiftInBits(uint32_t count);
// Deselect, select, then clock until data out reads 1. False when kMaxReadyPolls pass.
bool EepromWaitReady();

// Instructions. Results are false (0 for the read) when no device is open; a write or an
// erase that waited for ready and hit the bound reports false too.
uint8_t EepromReadByte(uint8_t address);
bool EepromWriteByte(uint8_t address, uint8_t value, bool waitReady);
bool EepromWriteEnable();
bool EepromWriteDisable();
bool EepromErase(uint8_t address, bool waitReady);
bool EepromEraseAll(bool waitReady);

// length bytes from/to consecutive addresses; the address wraps from 127 to 0.
void EepromReadBlock(uint8_t* destination, uint8_t start, uint8_t length);
bool EepromWriteBlock(const uint8_t* source, uint8_t start, uint8_t length, bool waitReady);

#endif  // TEVRO_DRIVERPORT_MICROWIRE_H
