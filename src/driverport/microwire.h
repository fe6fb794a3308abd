// The 93C46 serial EEPROM (8-bit organisation: 128 bytes, 7 address bits) driven one pin
// change at a time. Every instruction is a select, a 10-bit word (start bit, 2 opcode bits,
// 7 address or sub-code bits) shifted out most significant bit first with data taken at
// the rising clock edge, the instruction's own part, and a deselect. The data line changes
// only while the clock is low or together with its falling edge, never while it is high.
//
// Pure framing: it drives a pin port and keeps its own small state record; it knows nothing
// of devices or of the driver. Transfer costs: the word 20; a read of n bytes with one
// instruction 22 + 24 n; a byte write 38, write enable 23, write disable 22.
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

// The pins the framing drives. Each returns true when the transfer was carried out.
struct PinPort {
  // One pin write: the pins take 'pattern'.
  bool (*writePins)(void* context, uint8_t pattern);
  // One look at the pins: *reply receives the byte whose bit 6 is data out, as the
  // transfer left it (after a failure: whatever the reply held before).
  bool (*samplePins)(void* context, uint8_t* reply);
  // Optional: called after each instruction's deselect reached the part, with the part
  // deselected, so that the port's other work can run between instructions.
  void (*betweenInstructions)(void* context);
  void* context;
};

// What the framing remembers between pin transfers.
struct MicrowireState {
  bool active;    // an operation may drive the pins; nothing is sent otherwise
  bool halted;    // a pin transfer failed: the operation's further clocking is abandoned
  bool unsure;    // the last deselect may not have reached the part
  bool failed;    // a pin transfer failed since the operation started
  uint8_t reply;  // the reply byte of the last sample
};

struct Microwire {
  PinPort pins;
  MicrowireState state;
};

// Operations. Start: the pins may be driven (the device is open); clears the last
// operation's abandonment and failure, keeps 'unsure'. Stop: nothing is sent until the
// next start. Resume: the next instruction goes out even though the last was abandoned
// (for a write disable after a failed write); 'failed' stays.
void MicrowireStart(Microwire& bus);
void MicrowireStop(Microwire& bus);
void MicrowireResume(Microwire& bus);

// Shift steps, inside an instruction: MSB first, two pin writes per bit out (the data with
// the clock going low, then the clock high); per bit in, clock low, clock high and a
// sample. A sample not taken loses the bits gathered so far. Both leave the clock high.
void ShiftOutBits(Microwire& bus, uint32_t value, uint32_t count);
uint32_t ShiftInBits(Microwire& bus, uint32_t count);

// Instruction framing. Begin: a deselect first when the last may not have arrived, then
// select and the 10-bit word; false, with nothing sent, when the operation is inactive or
// abandoned. End: the deselect that ends (or abandons) an instruction. Pins and Sample:
// one pin change or look within an instruction, nothing once it is abandoned.
bool MicrowireBeginInstruction(Microwire& bus, uint32_t word);
void MicrowireEndInstruction(Microwire& bus);
void MicrowirePins(Microwire& bus, uint8_t pattern);
bool MicrowireSample(Microwire& bus);

// Instructions. Results are false (0 for the read) when the operation is inactive or a
// transfer of the instruction failed; write enable's is false only when the operation is
// inactive or already abandoned (its callers do not look at it).
bool EepromWriteByte(Microwire& bus, uint8_t address, uint8_t value);
bool EepromWriteEnable(Microwire& bus);
bool EepromWriteDisable(Microwire& bus);
// A read: Begin sends the READ of 'address' (false as MicrowireBeginInstruction); each
// NextByte then clocks one byte out of the part, which goes on into the following bytes
// while the clock runs (its sequential read; 127 is followed by 0); MicrowireEndInstruction
// ends it, after as many bytes as the caller needs.
bool EepromBeginRead(Microwire& bus, uint8_t address);
uint8_t EepromReadNextByte(Microwire& bus);

#endif  // TEVRO_DRIVERPORT_MICROWIRE_H
