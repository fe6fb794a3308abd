/*
 * eeprom93c46.h - a 93C46 Microwire serial EEPROM in 8-bit organisation (128 bytes,
 * seven address bits), simulated at pin level.
 *
 * The part sees chip select (CS), clock (SK) and data in (DI) and drives data out (DO).
 * DI is taken at the rising clock edge and DO moves on at the rising edge. An instruction
 * is a start bit 1 (leading 0s are ignored), two opcode bits and seven address or sub-code
 * bits:
 *   READ  1 10 aaaaaaa   DO: dummy 0 after the last address bit, then D7..D0 on the next
 *                        rising edges, running on into the following bytes (wrapping at 127)
 *   WRITE 1 01 aaaaaaa dddddddd   programmed when CS falls after the last data bit
 *   ERASE 1 11 aaaaaaa            byte := 0xFF when CS falls
 *   EWEN  1 00 11xxxxx   EWDS 1 00 00xxxxx   ERAL 1 00 10xxxxx   WRAL 1 00 01xxxxx dddddddd
 * Programming instructions act only between EWEN and EWDS; writes are disabled at power-up.
 * CS low ends any instruction; one that was not completely clocked in does nothing.
 * Programming is self-timed: it starts when CS falls after a complete WRITE, ERASE, ERAL or
 * WRAL and takes programUs of real time, clocked or not (the 93C46 up to 2 ms, the 93LC46
 * up to 6 ms). While it runs the part takes no instruction: a start bit is ignored (and
 * counted), and so the bits after it may be read as the start of another instruction once
 * it ends. When CS rises after programming has started, DO shows ready/busy (0 busy, 1
 * ready) until a start bit is clocked in. Where the part does not drive DO the line reads 1
 * (the port's pull-up).
 *
 * Timing rule: DI must not change while the part is selected and SK is high. The part
 * samples DI at the rising edge, so DI has to settle before it (setup) and stay until after
 * it (hold); a sequence that moves DI together with the rising edge, or during the high
 * half of the clock, depends on the wiring's delays. Such a change is counted as a timing
 * fault (the first one described); the part goes on as if the edge took the new level.
 *
 * Freestanding: plain data without pointers (it may live in memory shared between
 * processes), no heap, no C library.
 */
#ifndef SIM_MODELS_EEPROM93C46_H
#define SIM_MODELS_EEPROM93C46_H

#include <stddef.h>
#include <stdint.h>

namespace sim {

constexpr uint32_t kEepromBytes = 128;
constexpr uint8_t kEepromAddressMask = 0x7F;
constexpr uint32_t kEepromLogSize = 16;

// Instruction kinds, the index of Eeprom93c46::executed.
enum EepromInstruction : uint8_t {
  kEepromRead,
  kEepromWrite,
  kEepromErase,
  kEepromEwen,
  kEepromEwds,
  kEepromEral,
  kEepromWral,
  kEepromInstructionCount
};

// Phases of the instruction state machine (Eeprom93c46::phase).
enum EepromPhase : uint8_t {
  kEepromDeselected,  // CS low
  kEepromIdle,        // selected, waiting for a start bit
  kEepromStatus,      // selected after programming started: DO shows ready/busy
  kEepromCommand,     // shifting in opcode and address
  kEepromReadOut,     // READ decoded: DO presents data
  kEepromData,        // shifting in the 8 data bits of WRITE or WRAL
  kEepromArmed,       // programming instruction complete: acts when CS falls
  kEepromDone         // EWEN/EWDS carried out: further clocks ignored until CS falls
};

// Pin levels in a timing fault record.
constexpr uint8_t kEepromPinCs = 0x01;
constexpr uint8_t kEepromPinSk = 0x02;
constexpr uint8_t kEepromPinDi = 0x04;

// A DI change while selected with SK high: what the part was doing, and the pins around it.
struct EepromTimingFault {
  uint8_t phase;        // EepromPhase before the change
  uint8_t instruction;  // EepromInstruction decoded (phases read-out, data, armed, done)
  uint8_t address;      // its address (READ, WRITE, ERASE)
  uint8_t bits;         // bits clocked in so far (phases command and data)
  uint8_t pinsBefore;   // kEepromPin* levels
  uint8_t pinsAfter;
  uint8_t reserved[2];
};

// One instruction that was received in full.
struct EepromLogEntry {
  uint8_t instruction;  // EepromInstruction
  uint8_t address;      // READ/WRITE/ERASE address, else 0
  uint8_t data;         // WRITE/WRAL data; for READ the byte at the address when decoded
  uint8_t refused;      // 1: a programming instruction refused because writes were disabled
};

struct Eeprom93c46 {
  // Configuration; EepromInit sets the defaults (ready at once, no fault).
  uint32_t programUs;  // how long programming takes, from the fall of CS that starts it
  bool neverReady;     // fault: programming never finishes, nothing is programmed, DO stays 0
                       // (cleared: a cycle under way ends at once, still unprogrammed)

  uint8_t memory[kEepromBytes];  // the cells; a test may set or inspect them directly

  // Pin levels as last applied, and the level of the DO line.
  bool cs;
  bool clk;
  bool di;
  bool dataOut;

  // Instruction state.
  uint8_t phase;        // EepromPhase
  uint8_t instruction;  // EepromInstruction being received
  uint16_t word;        // start, opcode and address bits shifted in so far
  uint8_t bits;         // number of bits in word, or data bits received
  uint8_t address;
  uint8_t data;
  uint8_t readAddress;   // address of the byte being presented by READ
  uint8_t readByte;      // its value, latched when its first bit was presented
  uint8_t readBitsLeft;  // bits of readByte still to present
  bool writeEnabled;
  bool busy;
  uint64_t busyUntilUs;  // the caller's time at which the programming under way ends
  bool statusPending;    // programming started and no start bit taken since

  // Counters for tests.
  uint32_t executed[kEepromInstructionCount];  // instructions carried out, by kind
  uint32_t bytesProgrammed;                    // cells written by WRITE, ERASE, ERAL, WRAL
  uint32_t refusedDisabled;                    // programming instructions refused: writes disabled
  uint32_t aborted;           // CS fell in the middle of an instruction or its data
  uint32_t ignoredWhileBusy;  // start bits clocked in while the part was busy
  uint32_t timingFaults;      // DI changes while selected with SK high (the timing rule above)
  EepromTimingFault firstTimingFault;  // the first of them; zero while there is none
  EepromTimingFault lastTimingFault;   // the latest of them

  EepromLogEntry log[kEepromLogSize];  // the last kEepromLogSize received instructions
  uint32_t logCount;                   // instructions logged since EepromInit
};

// Powers the part up with every cell = fill, default configuration, zero counters, empty log.
void EepromInit(Eeprom93c46& eeprom, uint8_t fill);

// Power cycle: cells, configuration, counters (timing faults included) and log kept; writes
// disabled, state machine reset, an unfinished instruction or programming cycle dropped.
void EepromPowerUp(Eeprom93c46& eeprom);

// Back to no timing fault counted (for a caller that clears its counters).
void EepromClearTimingFaults(Eeprom93c46& eeprom);

// Lets the part's own time run to nowUs (the caller's clock, in microseconds, never going
// back): a programming cycle whose time is up ends, and a selected part shows ready.
void EepromAdvance(Eeprom93c46& eeprom, uint64_t nowUs);

// Applies one set of pin levels at nowUs (a CS change first, then a rising clock edge if CS
// stays high; an edge on the step that raises CS is not taken). Returns the DO line level
// after. A DI change with CS high before and after and SK high after is a timing fault: with
// the rising edge or while SK stays high. With the falling edge, or while SK is low, it is not.
bool EepromStep(Eeprom93c46& eeprom, bool cs, bool clk, bool di, uint64_t nowUs);

// The DO line level as of the last step or advance: the part's output where it drives it,
// else 1.
bool EepromDataOut(const Eeprom93c46& eeprom);

// The n-th received instruction since EepromInit (0 = first); null when not yet logged or
// already overwritten.
const EepromLogEntry* EepromLogAt(const Eeprom93c46& eeprom, uint32_t n);

}  // namespace sim

#endif  // SIM_MODELS_EEPROM93C46_H
