// The 93C46 serial EEPROM (8-bit organisation: 128 bytes, 7 address bits) driven one pin
// change at a time. Every instruction is a select, a 10-bit word (start bit, 2 opcode bits,
// 7 address or sub-code bits) shifted out most significant bit first with data taken at
// the rising clock edge, the instruction's own part, and a deselect. The data line changes
// only while the clock is low or together with its falling edge, never while it is high.
//
// The part programs a written byte on its own once chip select falls, for up to 6 ms (the
// 93C46 up to 2 ms), and takes no instruction meanwhile: a start bit sent into it is lost,
// and the bits after it may be taken for another instruction. So every byte write waits
// for ready before anything else goes out: select again, and look at data out (0 busy, 1
// ready) until the part shows ready, whose start bit the next instruction then sends
// without a second select.
//
// Pure framing: it drives a pin port and keeps its own small state record; it knows nothing
// of devices or of the driver. Transfer costs: the word 20; a read of n bytes with one
// instruction 22 + 24 n; a byte write 38 and its ready wait 1 + 1 per look (the next
// instruction saves its select), write enable and write disable 22; a deselect first, where
// the last may not have arrived, 1 more.
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

// How long the waits of one operation may take in all before the part is taken to be stuck,
// and how many looks go out back to back before a wait paces itself (on a full-speed box a
// look takes about a millisecond, so these cover the slowest part's 6 ms with no pause).
constexpr int64_t kReadyLimitUs = 250000;
constexpr uint32_t kReadyLooksUnpaced = 8;
// A look that took longer than this was held up (a look takes about a millisecond): once the
// limit has passed, such a look is followed by one more before the part is taken to be stuck,
// so that a process kept from running does not give up on a part that is long ready.
constexpr int64_t kLookHeldUpUs = 20000;

// The pins the framing drives. Each returns true when the transfer was carried out.
struct PinPort {
  // One pin write: the pins take 'pattern'.
  bool (*writePins)(void* context, uint8_t pattern);
  // One look at the pins: *reply receives the byte whose bit 6 is data out, as the
  // transfer left it (after a failure: whatever the reply held before).
  bool (*samplePins)(void* context, uint8_t* reply);
  // The ready wait's clock, in microseconds that never go back, and its pause of about a
  // millisecond between two looks at a part still busy.
  int64_t (*nowUs)(void* context);
  void (*pause)(void* context);
  void* context;
};

// What the framing remembers between pin transfers.
struct MicrowireState {
  bool active;        // an operation may drive the pins; nothing is sent otherwise
  bool halted;        // a pin transfer failed: the operation's further clocking is abandoned
  bool unsure;        // the last deselect may not have reached the part
  bool failed;        // a pin transfer failed, or the part stuck, since the operation started
  bool programming;   // a write went out whose programming was not seen to end
  bool stuck;         // the part did not show ready within kReadyLimitUs: nothing more goes
                      // into it in this operation, not even a write disable
  bool showingReady;  // selected, no instruction begun, data out showing ready
  uint8_t reply;      // the reply byte of the last sample
  int64_t readyByUs;  // the operation's waits end by then (nowUs at its start + the limit)
};

struct Microwire {
  PinPort pins;
  MicrowireState state;
};

// Operations. Start: the pins may be driven (the device is open); clears the last
// operation's abandonment, failure and stuck part, keeps 'unsure' and 'programming', and
// sets the time by which all its waits for ready end. Stop:
// a part left selected is deselected; nothing is sent until the next start. Resume: the next
// instruction goes out even though the last was abandoned (for the ready wait and the write
// disable after a failed write), unless the part is stuck; 'failed' stays.
void MicrowireStart(Microwire& bus);
void MicrowireStop(Microwire& bus);
void MicrowireResume(Microwire& bus);

// Waits for the part to show ready: a deselect first when the last may not have arrived,
// a select, then looks at data out, kReadyLooksUnpaced back to back and then one per pause,
// until it reads 1 (true: the part stays selected showing ready, 'programming' cleared).
// 'patient' false gives the part one look only (one already found stuck). A part still busy
// once the operation's waits have taken kReadyLimitUs in all (at a look not held up, or at
// the one after a held-up look), or at the single look, is deselected and taken to be stuck
// (false); a failed transfer gives false, halted. Nothing
// goes into a busy part but the looks.
bool MicrowireAwaitReady(Microwire& bus, bool patient);

// Shift steps, inside an instruction: MSB first, two pin writes per bit out (the data with
// the clock going low, then the clock high); per bit in, clock low, clock high and a
// sample. A sample not taken loses the bits gathered so far. Both leave the clock high.
void ShiftOutBits(Microwire& bus, uint32_t value, uint32_t count);
uint32_t ShiftInBits(Microwire& bus, uint32_t count);

// Instruction framing. Begin: a deselect first when the last may not have arrived, then
// select (none when the part is selected showing ready) and the 10-bit word; false, with
// nothing sent, when the operation is inactive, abandoned or its part stuck. End: the
// deselect that ends (or abandons) an instruction. Pins and Sample: one pin change or look
// within an instruction, nothing once it is abandoned.
bool MicrowireBeginInstruction(Microwire& bus, uint32_t word);
void MicrowireEndInstruction(Microwire& bus);
void MicrowirePins(Microwire& bus, uint8_t pattern);
bool MicrowireSample(Microwire& bus);

// Instructions. Results are false (0 for the read) when the operation is inactive or a
// transfer of the instruction failed; write enable's is false only when the operation is
// inactive or already abandoned (its callers do not look at it). A byte write is true once
// the part showed ready after it (its byte programmed), and false when the part stuck.
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
