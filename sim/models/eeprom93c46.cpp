/*
 * eeprom93c46.cpp - the 93C46 (8-bit organisation) pin-level state machine.
 */
#include "models/eeprom93c46.h"

namespace sim {
namespace {

constexpr uint8_t kWordBits = 10;  // start bit, 2 opcode bits, 7 address bits
constexpr uint8_t kDataBits = 8;
constexpr uint8_t kErased = 0xFF;

// Opcodes (the two bits after the start bit) and the sub-codes of opcode 00 (the two
// address bits that follow it).
constexpr uint8_t kOpExtended = 0x0;
constexpr uint8_t kOpWrite = 0x1;
constexpr uint8_t kOpRead = 0x2;
constexpr uint8_t kOpErase = 0x3;
constexpr uint8_t kSubEwds = 0x0;
constexpr uint8_t kSubWral = 0x1;
constexpr uint8_t kSubEral = 0x2;

void Log(Eeprom93c46& e, uint8_t instruction, uint8_t address, uint8_t data, bool refused) {
  EepromLogEntry& entry = e.log[e.logCount % kEepromLogSize];
  entry.instruction = instruction;
  entry.address = address;
  entry.data = data;
  entry.refused = refused ? 1 : 0;
  ++e.logCount;
}

void ResetMachine(Eeprom93c46& e) {
  e.cs = false;
  e.clk = false;
  e.di = false;
  e.dataOut = true;
  e.phase = kEepromDeselected;
  e.instruction = kEepromRead;
  e.word = 0;
  e.bits = 0;
  e.address = 0;
  e.data = 0;
  e.readAddress = 0;
  e.readByte = 0;
  e.readBitsLeft = 0;
  e.writeEnabled = false;
  e.busy = false;
  e.busyUntilUs = 0;
  e.statusPending = false;
}

void StartProgramming(Eeprom93c46& e, uint64_t nowUs) {
  const uint8_t kind = e.instruction;
  if (!e.writeEnabled) {
    ++e.refusedDisabled;
    Log(e, kind, e.address, e.data, true);
    return;
  }
  ++e.executed[kind];
  Log(e, kind, e.address, e.data, false);
  e.statusPending = true;
  if (e.neverReady) {
    e.busy = true;
    e.busyUntilUs = nowUs;
    return;
  }
  if (kind == kEepromWrite || kind == kEepromErase) {
    e.memory[e.address] = kind == kEepromWrite ? e.data : kErased;
    ++e.bytesProgrammed;
  } else {
    const uint8_t value = kind == kEepromWral ? e.data : kErased;
    for (uint32_t i = 0; i < kEepromBytes; ++i) e.memory[i] = value;
    e.bytesProgrammed += kEepromBytes;
  }
  e.busyUntilUs = nowUs + e.programUs;
  e.busy = e.programUs > 0;
}

void Select(Eeprom93c46& e) {
  if (e.statusPending || e.busy) {
    e.phase = kEepromStatus;
    e.dataOut = !e.busy;
  } else {
    e.phase = kEepromIdle;
    e.dataOut = true;
  }
}

void Deselect(Eeprom93c46& e, uint64_t nowUs) {
  if (e.phase == kEepromCommand || e.phase == kEepromData) {
    ++e.aborted;
  } else if (e.phase == kEepromArmed) {
    StartProgramming(e, nowUs);
  }
  e.phase = kEepromDeselected;
  e.dataOut = true;
}

// Opcode 00: the two bits after it select EWEN, EWDS, ERAL or WRAL; the rest are don't-care.
void DecodeExtended(Eeprom93c46& e, uint8_t addressBits) {
  e.address = 0;
  const uint8_t sub = (addressBits >> 5) & 0x3;
  if (sub == kSubWral) {
    e.instruction = kEepromWral;
    e.phase = kEepromData;
  } else if (sub == kSubEral) {
    e.instruction = kEepromEral;
    e.phase = kEepromArmed;
  } else {
    const uint8_t kind = sub == kSubEwds ? kEepromEwds : kEepromEwen;
    e.instruction = kind;
    e.writeEnabled = kind == kEepromEwen;
    ++e.executed[kind];
    Log(e, kind, 0, 0, false);
    e.phase = kEepromDone;
  }
}

void Decode(Eeprom93c46& e) {
  const uint8_t opcode = (e.word >> 7) & 0x3;
  const uint8_t address = e.word & kEepromAddressMask;
  e.address = address;
  e.data = 0;
  e.bits = 0;
  switch (opcode) {
    case kOpRead:
      e.instruction = kEepromRead;
      ++e.executed[kEepromRead];
      Log(e, kEepromRead, address, e.memory[address], false);
      e.phase = kEepromReadOut;
      e.dataOut = false;  // the dummy 0
      e.readAddress = static_cast<uint8_t>((address - 1) & kEepromAddressMask);
      e.readBitsLeft = 0;
      break;
    case kOpWrite:
      e.instruction = kEepromWrite;
      e.phase = kEepromData;
      break;
    case kOpErase:
      e.instruction = kEepromErase;
      e.phase = kEepromArmed;
      break;
    case kOpExtended:
    default:
      DecodeExtended(e, address);
      break;
  }
}

void PresentNextBit(Eeprom93c46& e) {
  if (e.readBitsLeft == 0) {
    e.readAddress = static_cast<uint8_t>((e.readAddress + 1) & kEepromAddressMask);
    e.readByte = e.memory[e.readAddress];
    e.readBitsLeft = kDataBits;
  }
  --e.readBitsLeft;
  e.dataOut = ((e.readByte >> e.readBitsLeft) & 1) != 0;
}

void Clock(Eeprom93c46& e, bool di) {
  switch (e.phase) {
    case kEepromStatus:
      e.dataOut = !e.busy;
      [[fallthrough]];
    case kEepromIdle:
      if (!di) return;
      if (e.busy) {
        ++e.ignoredWhileBusy;
        return;
      }
      e.statusPending = false;
      e.dataOut = true;
      e.phase = kEepromCommand;
      e.word = 1;
      e.bits = 1;
      return;
    case kEepromCommand:
      e.word = static_cast<uint16_t>((e.word << 1) | (di ? 1 : 0));
      if (++e.bits == kWordBits) Decode(e);
      return;
    case kEepromReadOut:
      PresentNextBit(e);
      return;
    case kEepromData:
      e.data = static_cast<uint8_t>((e.data << 1) | (di ? 1 : 0));
      if (++e.bits == kDataBits) e.phase = kEepromArmed;
      return;
    default:
      return;  // armed, done: extra clocks are ignored
  }
}

uint8_t PinLevels(bool cs, bool clk, bool di) {
  return static_cast<uint8_t>((cs ? kEepromPinCs : 0) | (clk ? kEepromPinSk : 0) |
                              (di ? kEepromPinDi : 0));
}

// Called before the step changes anything, so the record shows the phase the change met.
void CountTimingFault(Eeprom93c46& e, bool di) {
  EepromTimingFault& f = e.lastTimingFault;
  f.phase = e.phase;
  const bool decoded = e.phase == kEepromReadOut || e.phase == kEepromData ||
                       e.phase == kEepromArmed || e.phase == kEepromDone;
  f.instruction = decoded ? e.instruction : 0;
  f.address = decoded ? e.address : 0;
  f.bits = e.phase == kEepromCommand || e.phase == kEepromData ? e.bits : 0;
  f.pinsBefore = PinLevels(e.cs, e.clk, e.di);
  f.pinsAfter = PinLevels(true, true, di);
  if (e.timingFaults++ == 0) e.firstTimingFault = f;
}

}  // namespace

void EepromInit(Eeprom93c46& eeprom, uint8_t fill) {
  eeprom.programUs = 0;
  eeprom.neverReady = false;
  for (uint32_t i = 0; i < kEepromBytes; ++i) eeprom.memory[i] = fill;
  ResetMachine(eeprom);
  for (uint32_t i = 0; i < kEepromInstructionCount; ++i) eeprom.executed[i] = 0;
  eeprom.bytesProgrammed = 0;
  eeprom.refusedDisabled = 0;
  eeprom.aborted = 0;
  eeprom.ignoredWhileBusy = 0;
  EepromClearTimingFaults(eeprom);
  for (uint32_t i = 0; i < kEepromLogSize; ++i) {
    eeprom.log[i].instruction = 0;
    eeprom.log[i].address = 0;
    eeprom.log[i].data = 0;
    eeprom.log[i].refused = 0;
  }
  eeprom.logCount = 0;
}

void EepromPowerUp(Eeprom93c46& eeprom) { ResetMachine(eeprom); }

void EepromClearTimingFaults(Eeprom93c46& e) {
  e.timingFaults = 0;
  const EepromTimingFault none = {0, 0, 0, 0, 0, 0, {0, 0}};
  e.firstTimingFault = none;
  e.lastTimingFault = none;
}

void EepromAdvance(Eeprom93c46& e, uint64_t nowUs) {
  if (!e.busy) return;
  if (e.neverReady || nowUs < e.busyUntilUs) return;
  e.busy = false;
  if (e.phase == kEepromStatus) e.dataOut = true;
}

bool EepromStep(Eeprom93c46& eeprom, bool cs, bool clk, bool di, uint64_t nowUs) {
  EepromAdvance(eeprom, nowUs);
  if (cs && eeprom.cs && clk && di != eeprom.di) CountTimingFault(eeprom, di);
  const bool rising = clk && !eeprom.clk;
  if (!cs) {
    if (eeprom.cs) Deselect(eeprom, nowUs);
  } else if (!eeprom.cs) {
    Select(eeprom);
  } else if (rising) {
    Clock(eeprom, di);
  }
  eeprom.cs = cs;
  eeprom.clk = clk;
  eeprom.di = di;
  return eeprom.dataOut;
}

bool EepromDataOut(const Eeprom93c46& eeprom) { return eeprom.dataOut; }

const EepromLogEntry* EepromLogAt(const Eeprom93c46& eeprom, uint32_t n) {
  if (n >= eeprom.logCount || eeprom.logCount - n > kEepromLogSize) return nullptr;
  return &eeprom.log[n % kEepromLogSize];
}

}  // namespace sim
