/*
 * eeprom_fault_text.h - a 93C46 timing fault as one line of text, the same wherever a box
 * is shown (the host tests, the control tool, the checks under Wine), e.g.
 *   read-out of READ 0x05: CS=1 SK=0 DI=1 -> CS=1 SK=1 DI=0
 *   command after 4 bits: CS=1 SK=1 DI=0 -> CS=1 SK=1 DI=1
 *
 * Header-only and freestanding (no C library), so that every program that shows a box can
 * use it without linking the model.
 */
#ifndef SIM_MODELS_EEPROM_FAULT_TEXT_H
#define SIM_MODELS_EEPROM_FAULT_TEXT_H

#include <stdint.h>

#include "models/eeprom93c46.h"

namespace sim {

// Room for the longest line and its terminating 0.
constexpr uint32_t kEepromFaultTextSize = 80;

namespace fault_text {

struct Line {
  char* text;
  uint32_t size;
  uint32_t length;
};

inline void Put(Line& line, char c) {
  if (line.length + 1 < line.size) line.text[line.length++] = c;
  line.text[line.length] = 0;
}

inline void Put(Line& line, const char* s) {
  while (*s != 0) Put(line, *s++);
}

inline void PutDecimal(Line& line, uint32_t value) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) Put(line, digits[--n]);
}

inline void PutHexByte(Line& line, uint8_t value) {
  static const char kHex[] = "0123456789ABCDEF";
  Put(line, "0x");
  Put(line, kHex[value >> 4]);
  Put(line, kHex[value & 0xF]);
}

inline void PutPins(Line& line, uint8_t pins) {
  Put(line, (pins & kEepromPinCs) ? "CS=1" : "CS=0");
  Put(line, (pins & kEepromPinSk) ? " SK=1" : " SK=0");
  Put(line, (pins & kEepromPinDi) ? " DI=1" : " DI=0");
}

inline const char* PhaseName(uint8_t phase) {
  static const char* const kNames[] = {"deselected", "idle", "status", "command",
                                       "read-out",   "data", "armed",  "done"};
  return phase < sizeof kNames / sizeof kNames[0] ? kNames[phase] : "?";
}

inline const char* InstructionName(uint8_t instruction) {
  static const char* const kNames[] = {"READ", "WRITE", "ERASE", "EWEN", "EWDS", "ERAL", "WRAL"};
  return instruction < kEepromInstructionCount ? kNames[instruction] : "?";
}

}  // namespace fault_text

// Writes the fault as text into text[0..size) (cut short to fit, always 0-terminated when
// size > 0); returns the length written.
inline uint32_t EepromTimingFaultText(const EepromTimingFault& fault, char* text, uint32_t size) {
  if (size == 0) return 0;
  fault_text::Line line = {text, size, 0};
  text[0] = 0;
  fault_text::Put(line, fault_text::PhaseName(fault.phase));
  const bool decoded = fault.phase == kEepromReadOut || fault.phase == kEepromData ||
                       fault.phase == kEepromArmed || fault.phase == kEepromDone;
  if (decoded) {
    fault_text::Put(line, " of ");
    fault_text::Put(line, fault_text::InstructionName(fault.instruction));
    const bool addressed = fault.instruction == kEepromRead || fault.instruction == kEepromWrite ||
                           fault.instruction == kEepromErase;
    if (addressed) {
      fault_text::Put(line, ' ');
      fault_text::PutHexByte(line, fault.address);
    }
  }
  if (fault.phase == kEepromCommand || fault.phase == kEepromData) {
    fault_text::Put(line, " after ");
    fault_text::PutDecimal(line, fault.bits);
    fault_text::Put(line, fault.bits == 1 ? " bit" : " bits");
  }
  fault_text::Put(line, ": ");
  fault_text::PutPins(line, fault.pinsBefore);
  fault_text::Put(line, " -> ");
  fault_text::PutPins(line, fault.pinsAfter);
  return line.length;
}

}  // namespace sim

#endif  // SIM_MODELS_EEPROM_FAULT_TEXT_H
