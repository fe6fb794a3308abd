#include "pin_driver.h"

namespace models_test {

PinDriver::PinDriver(sim::PortBox& target, BitFraming bitFraming)
    : box(target), framing(bitFraming) {}

bool PinDriver::WritePins(uint8_t pattern) {
  command[0] = sim::kPortPinWriteRequest;
  command[1] = sim::kPortSelectPins;
  command[2] = pattern;
  pinWrites.push_back(pattern);
  const bool ok = sim::PortBoxRequest(box, sim::kPortRequestCode, command, reply, nowUs);
  nowUs += requestUs;
  if (!ok) ++failedRequests;
  return ok;
}

int PinDriver::SampleDataOut() {
  command[0] = sim::kPortRead;
  const bool ok = sim::PortBoxRequest(box, sim::kPortRequestCode, command, reply, nowUs);
  nowUs += requestUs;
  if (!ok) {
    ++failedRequests;
    return -1;
  }
  return (reply[1] & sim::kPinDataOut) ? 1 : 0;
}

void PinDriver::ShiftOut(uint32_t value, int count) {
  uint8_t pattern = kSelect;
  for (int bit = count - 1; bit >= 0; --bit) {
    if ((value >> bit) & 1) {
      pattern |= sim::kPinDataIn;
    } else {
      pattern &= static_cast<uint8_t>(~sim::kPinDataIn);
    }
    WritePins(pattern);
    WritePins(pattern | sim::kPinClock);
    if (framing == BitFraming::kThreeWrites) WritePins(pattern);
  }
}

uint32_t PinDriver::ShiftIn(int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) {
    value <<= 1;
    if (framing == BitFraming::kTwoWrites) WritePins(kSelect);
    WritePins(kClockHigh);
    if (SampleDataOut() == 1) value |= 1;
    if (framing == BitFraming::kThreeWrites) WritePins(kSelect);
  }
  return value;
}

int PinDriver::WaitReady(int maxPolls) {
  WritePins(kDeselect);
  WritePins(kSelect);
  for (int poll = 0; poll < maxPolls; ++poll) {
    if (SampleDataOut() == 1) return poll;
  }
  return -1;
}

uint8_t PinDriver::ReadByte(uint8_t address) {
  WritePins(kSelect);
  ShiftOut(kReadWord | (address & 0x7F), kWordBits);
  const uint32_t value = ShiftIn(8);
  WritePins(kDeselect);
  return static_cast<uint8_t>(value);
}

void PinDriver::WriteByte(uint8_t address, uint8_t value) {
  WritePins(kSelect);
  ShiftOut(kWriteWord | (address & 0x7F), kWordBits);
  ShiftOut(value, 8);
  WritePins(kDeselect);
}

int PinDriver::WriteByteWaiting(uint8_t address, uint8_t value, int maxPolls) {
  WritePins(kSelect);
  ShiftOut(kWriteWord | (address & 0x7F), kWordBits);
  ShiftOut(value, 8);
  const int busyPolls = WaitReady(maxPolls);
  WritePins(kDeselect);
  return busyPolls;
}

void PinDriver::Erase(uint8_t address) {
  WritePins(kSelect);
  ShiftOut(kEraseWord | (address & 0x7F), kWordBits);
  WritePins(kDeselect);
}

void PinDriver::EraseAll() {
  WritePins(kSelect);
  ShiftOut(kEralWord, kWordBits);
  WritePins(kDeselect);
}

void PinDriver::WriteAll(uint8_t value) {
  WritePins(kSelect);
  ShiftOut(kWralWord, kWordBits);
  ShiftOut(value, 8);
  WritePins(kDeselect);
}

void PinDriver::WriteEnable() {
  WritePins(kDeselect);
  WritePins(kSelect);
  ShiftOut(kEwenWord, kWordBits);
  WritePins(kDeselect);
}

void PinDriver::WriteDisable() {
  WritePins(kSelect);
  ShiftOut(kEwdsWord, kWordBits);
  WritePins(kDeselect);
}

}  // namespace models_test
