/*
 * pin_driver.h - drives the EEPROM of a simulated port box through driver requests, one pin
 * change per pin write, in either of the library's two framings of a bit.
 */
#ifndef TESTS_MODELS_PIN_DRIVER_H
#define TESTS_MODELS_PIN_DRIVER_H

#include <cstdint>
#include <vector>

#include "models/port_box.h"

namespace models_test {

// Pin patterns: data out always written 1, chip select 0x08, clock 0x10, data in 0x20.
constexpr uint8_t kDeselect = 0x40;
constexpr uint8_t kSelect = 0x48;
constexpr uint8_t kClockHigh = 0x58;

// Instruction words (start bit, opcode, address or sub-code), 10 bits.
constexpr uint32_t kReadWord = 0x300;
constexpr uint32_t kWriteWord = 0x280;
constexpr uint32_t kEraseWord = 0x380;
constexpr uint32_t kEwenWord = 0x260;
constexpr uint32_t kEwdsWord = 0x200;
constexpr uint32_t kEralWord = 0x240;
constexpr uint32_t kWralWord = 0x220;
constexpr int kWordBits = 10;

// How a bit goes over the pins.
enum class BitFraming {
  // Out: data with the clock low, then the rising edge with the data unchanged (the next
  // bit's first write brings the clock down). In: clock low, clock high, sample. Data in
  // only ever changes with the clock going low.
  kTwoWrites,
  // Out: data with the clock low, clock high, clock low. In: clock high, sample, clock low,
  // with data in at 0: after a 1 as the last address bit of a READ, data in drops together
  // with the first rising edge of the read-out.
  kThreeWrites,
};

struct PinDriver {
  explicit PinDriver(sim::PortBox& target, BitFraming bitFraming = BitFraming::kTwoWrites);

  // One pin write 15 00 pattern 00; the result of the request.
  bool WritePins(uint8_t pattern);
  // One pin sample (command byte 0 := 0x14, bytes 1 and 2 as left); data out, or -1 when
  // the request failed.
  int SampleDataOut();
  // MSB first, each bit framed as `framing` says.
  void ShiftOut(uint32_t value, int count);
  uint32_t ShiftIn(int count);
  // Wait for ready as the datasheet frames it: 0x40, 0x48, then samples of data out (no
  // clock) until it reads 1. Returns the samples that read busy, or -1 when maxPolls
  // samples all read busy.
  int WaitReady(int maxPolls);

  // Complete instructions, framed as the library frames them (address masked to 7 bits).
  uint8_t ReadByte(uint8_t address);
  void WriteByte(uint8_t address, uint8_t value);
  int WriteByteWaiting(uint8_t address, uint8_t value, int maxPolls);
  void Erase(uint8_t address);
  void EraseAll();
  void WriteAll(uint8_t value);
  void WriteEnable();
  void WriteDisable();

  sim::PortBox& box;
  BitFraming framing;
  uint8_t command[sim::kPortCommandBytes] = {0, 0, 0, 0};
  uint8_t reply[sim::kPortReplyBytes] = {0, 0, 0, 0, 0, 0};
  uint64_t nowUs = 0;              // the time of the next request
  uint32_t requestUs = 0;          // how long each request takes (the clock moves on after it)
  std::vector<uint8_t> pinWrites;  // every pattern sent, in order
  int failedRequests = 0;
};

}  // namespace models_test

#endif  // TESTS_MODELS_PIN_DRIVER_H
