// Microwire framing of the serial EEPROM over a pin port.
//
// A pin transfer that fails may or may not have reached the part. If it was a clock edge
// that got lost, the part would read the bits that follow as another instruction (with
// writes enabled, an erase or a write of every cell). So after a failed transfer the rest
// of the operation's clocking is abandoned and only the deselect that ends the instruction
// goes out: the part then holds a prefix of the intended instruction, which it discards.
// The next instruction starts with a deselect when the last one may not have arrived.
//
// A byte written is programmed after its deselect, and a part still programming ignores a
// start bit: what follows it would be decoded as an instruction of its own once the part is
// ready. So no instruction goes out after a write before the part has shown ready.
#include "driverport/microwire.h"

namespace {

constexpr uint8_t kAddressMask = 0x7F;
constexpr uint32_t kDataBits = 8;

void Halt(MicrowireState& s) {
  s.halted = true;
  s.unsure = true;
  s.failed = true;
}

bool Refused(const MicrowireState& s) { return !s.active || s.halted || s.stuck; }

}  // namespace

void MicrowireStart(Microwire& bus) {
  bus.state.active = true;
  bus.state.halted = false;
  bus.state.failed = false;
  bus.state.stuck = false;
  bus.state.showingReady = false;
  bus.state.readyByUs = bus.pins.nowUs(bus.pins.context) + kReadyLimitUs;
}

void MicrowireStop(Microwire& bus) {
  if (bus.state.active && bus.state.showingReady) {
    bus.state.halted = false;
    MicrowireEndInstruction(bus);
  }
  bus.state.active = false;
}

void MicrowireResume(Microwire& bus) { bus.state.halted = bus.state.stuck; }

void MicrowirePins(Microwire& bus, uint8_t pattern) {
  if (bus.state.halted) return;
  if (!bus.pins.writePins(bus.pins.context, pattern)) Halt(bus.state);
}

bool MicrowireSample(Microwire& bus) {
  if (bus.state.halted) return false;
  if (bus.pins.samplePins(bus.pins.context, &bus.state.reply)) return true;
  Halt(bus.state);
  return false;
}

void MicrowireEndInstruction(Microwire& bus) {
  bool ok = bus.pins.writePins(bus.pins.context, kPinsDeselect);
  bus.state.unsure = !ok;
  bus.state.showingReady = false;
  if (!ok) {
    bus.state.halted = true;
    bus.state.failed = true;
  }
}

bool MicrowireBeginInstruction(Microwire& bus, uint32_t word) {
  if (Refused(bus.state)) return false;
  if (bus.state.showingReady) {
    // The part is selected and its start bit ends the ready status: no select again.
    bus.state.showingReady = false;
  } else {
    if (bus.state.unsure) {
      MicrowireEndInstruction(bus);
      if (bus.state.halted) return false;
    }
    MicrowirePins(bus, kPinsSelect);
  }
  ShiftOutBits(bus, word, kWordBits);
  return true;
}

// The deselect before it (chip select low for at least 250 ns: it went out in an earlier
// request) lets the part drive data out with its status once selected again. Data in stays
// low and the clock still, so no look can be taken for a start bit.
bool MicrowireAwaitReady(Microwire& bus, bool patient) {
  if (Refused(bus.state)) return false;
  if (!bus.state.showingReady) {
    if (bus.state.unsure) {
      MicrowireEndInstruction(bus);
      if (bus.state.halted) return false;
    }
    MicrowirePins(bus, kPinsSelect);
  }
  bus.state.showingReady = false;
  bool lookedAgain = false;
  for (uint32_t looks = 1;; ++looks) {
    const int64_t lookedAtUs = bus.pins.nowUs(bus.pins.context);
    if (!MicrowireSample(bus)) return false;
    if ((bus.state.reply & kPinDataOut) != 0) {
      bus.state.showingReady = true;
      bus.state.programming = false;
      return true;
    }
    if (!patient) break;
    const int64_t nowUs = bus.pins.nowUs(bus.pins.context);
    if (nowUs >= bus.state.readyByUs) {
      // A look held up past the limit (this process not run, a slow driver) tells what the
      // part was doing long ago: it gets one more look, which decides.
      if (lookedAgain || nowUs - lookedAtUs < kLookHeldUpUs) break;
      lookedAgain = true;
      continue;
    }
    if (looks >= kReadyLooksUnpaced) bus.pins.pause(bus.pins.context);
  }
  MicrowireEndInstruction(bus);
  bus.state.stuck = true;
  bus.state.halted = true;
  bus.state.failed = true;
  return false;
}

// Each bit in two pin writes: the data presented together with the clock going low (the
// part takes nothing on a falling edge), then the clock's rising edge with the data line
// unchanged, which the part takes the bit at. The clock is left high.
void ShiftOutBits(Microwire& bus, uint32_t value, uint32_t count) {
  for (uint32_t bit = count; bit-- > 0;) {
    uint8_t pattern = ((value >> bit) & 1) != 0 ? kPinsSelect | kPinDataIn : kPinsSelect;
    MicrowirePins(bus, pattern);
    MicrowirePins(bus, pattern | kPinClock);
  }
}

// Each bit: the clock brought low (data in dropped to 0 with it), raised, and data out
// sampled; the part moves data out on at the rising edge. The clock is left high.
uint32_t ShiftInBits(Microwire& bus, uint32_t count) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < count; ++i) {
    value <<= 1;
    MicrowirePins(bus, kPinsSelect);
    MicrowirePins(bus, kPinsClockHigh);
    // A sample not taken loses the bits gathered so far; the current bit is read from the
    // reply as the failed transfer left it.
    if (!MicrowireSample(bus)) value = 0;
    if (bus.state.reply & kPinDataOut) value += 1;
  }
  return value;
}

bool EepromBeginRead(Microwire& bus, uint8_t address) {
  return MicrowireBeginInstruction(bus, kReadWord | (address & kAddressMask));
}

uint8_t EepromReadNextByte(Microwire& bus) {
  return static_cast<uint8_t>(ShiftInBits(bus, kDataBits));
}

bool EepromWriteByte(Microwire& bus, uint8_t address, uint8_t value) {
  if (!MicrowireBeginInstruction(bus, kWriteWord | (address & kAddressMask))) return false;
  // From here the part may be programming, whatever becomes of the transfers.
  bus.state.programming = true;
  ShiftOutBits(bus, value, kDataBits);
  MicrowireEndInstruction(bus);  // starts the programming
  return MicrowireAwaitReady(bus, true);
}

bool EepromWriteEnable(Microwire& bus) {
  if (Refused(bus.state)) return false;
  if (MicrowireBeginInstruction(bus, kWriteEnableWord)) MicrowireEndInstruction(bus);
  return true;
}

bool EepromWriteDisable(Microwire& bus) {
  if (!MicrowireBeginInstruction(bus, kWriteDisableWord)) return false;
  MicrowireEndInstruction(bus);
  return !bus.state.halted;
}
