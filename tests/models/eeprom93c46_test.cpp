// The 93C46 model, driven at pin level through the port box as the library drives it.
#include <gtest/gtest.h>

#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "models/eeprom93c46.h"
#include "models/eeprom_fault_text.h"
#include "models/port_box.h"
#include "pin_driver.h"

namespace models_test {
namespace {

std::string FaultText(const sim::Eeprom93c46& e) {
  char text[sim::kEepromFaultTextSize];
  sim::EepromTimingFaultText(e.firstTimingFault, text, sizeof text);
  return text;
}

// Every test drives the part by its timing rule unless it says otherwise.
class EepromTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::PortBoxInit(box, 0xF3); }
  void TearDown() override {
    EXPECT_EQ(eeprom().timingFaults, 0u) << "first: " << FaultText(eeprom());
  }
  void Fill(uint8_t value) {
    for (uint8_t& cell : box.eeprom.memory) cell = value;
  }
  sim::Eeprom93c46& eeprom() { return box.eeprom; }

  sim::PortBox box;
  PinDriver pins{box};
};

// Programming instructions, each checked on cell 5 and cell 6 of a memory filled with 0x00.
struct ProgrammingCase {
  const char* name;
  void (*send)(PinDriver&);
  sim::EepromInstruction kind;
  uint8_t cell5;
  uint8_t cell6;
  uint32_t bytesProgrammed;
};

const ProgrammingCase kProgrammingCases[] = {
    {"Write", [](PinDriver& d) { d.WriteByte(5, 0xA5); }, sim::kEepromWrite, 0xA5, 0x00, 1},
    {"Erase", [](PinDriver& d) { d.Erase(5); }, sim::kEepromErase, 0xFF, 0x00, 1},
    {"EraseAll", [](PinDriver& d) { d.EraseAll(); }, sim::kEepromEral, 0xFF, 0xFF, 128},
    {"WriteAll", [](PinDriver& d) { d.WriteAll(0x3C); }, sim::kEepromWral, 0x3C, 0x3C, 128},
};

void PrintTo(const ProgrammingCase& c, std::ostream* os) { *os << c.name; }

class ProgrammingTest : public EepromTest, public ::testing::WithParamInterface<ProgrammingCase> {
 protected:
  void ExpectRefused() {
    const ProgrammingCase& c = GetParam();
    EXPECT_EQ(eeprom().memory[5], 0x00);
    EXPECT_EQ(eeprom().memory[6], 0x00);
    EXPECT_EQ(eeprom().refusedDisabled, 1u);
    EXPECT_EQ(eeprom().executed[c.kind], 0u);
    EXPECT_EQ(eeprom().bytesProgrammed, 0u);
    const sim::EepromLogEntry* last = sim::EepromLogAt(eeprom(), eeprom().logCount - 1);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->instruction, c.kind);
    EXPECT_EQ(last->refused, 1);
  }
};

TEST_P(ProgrammingTest, TakesEffectBetweenWriteEnableAndWriteDisable) {
  const ProgrammingCase& c = GetParam();
  Fill(0x00);
  pins.WriteEnable();
  c.send(pins);
  pins.WriteDisable();
  EXPECT_EQ(eeprom().memory[5], c.cell5);
  EXPECT_EQ(eeprom().memory[6], c.cell6);
  EXPECT_EQ(eeprom().executed[c.kind], 1u);
  EXPECT_EQ(eeprom().executed[sim::kEepromEwen], 1u);
  EXPECT_EQ(eeprom().executed[sim::kEepromEwds], 1u);
  EXPECT_EQ(eeprom().bytesProgrammed, c.bytesProgrammed);
  EXPECT_EQ(eeprom().refusedDisabled, 0u);
  EXPECT_EQ(eeprom().aborted, 0u);
  EXPECT_EQ(pins.failedRequests, 0);
}

TEST_P(ProgrammingTest, RefusedAtPowerUp) {
  Fill(0x00);
  GetParam().send(pins);
  ExpectRefused();
}

TEST_P(ProgrammingTest, RefusedAfterWriteDisable) {
  Fill(0x00);
  pins.WriteEnable();
  pins.WriteDisable();
  GetParam().send(pins);
  ExpectRefused();
}

TEST_P(ProgrammingTest, RefusedAfterPowerCycle) {
  Fill(0x00);
  pins.WriteEnable();
  sim::EepromPowerUp(eeprom());
  GetParam().send(pins);
  ExpectRefused();
}

INSTANTIATE_TEST_SUITE_P(Instructions, ProgrammingTest, ::testing::ValuesIn(kProgrammingCases),
                         [](const ::testing::TestParamInfo<ProgrammingCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(EepromTest, ReadReturnsEachByteMostSignificantBitFirst) {
  const struct {
    uint8_t address;
    uint8_t value;
  } cases[] = {{0, 0x00}, {1, 0xFF}, {2, 0x80}, {3, 0x01}, {64, 0xA5}, {126, 0x5A}, {127, 0xFE}};
  Fill(0x00);
  for (const auto& c : cases) eeprom().memory[c.address] = c.value;
  for (const auto& c : cases) {
    EXPECT_EQ(pins.ReadByte(c.address), c.value) << "address " << int(c.address);
  }
  EXPECT_EQ(eeprom().executed[sim::kEepromRead], std::size(cases));
  EXPECT_EQ(eeprom().aborted, 0u);
}

TEST_F(EepromTest, ReadShowsDummyZeroAfterLastAddressBitThenD7ToD0) {
  eeprom().memory[9] = 0xA5;
  pins.WritePins(kSelect);
  pins.ShiftOut((kReadWord | 9) >> 1, kWordBits - 1);
  EXPECT_EQ(pins.SampleDataOut(), 1) << "not driven before the word is complete";
  pins.WritePins(kSelect | sim::kPinDataIn);  // last address bit (1), clock low
  pins.WritePins(kClockHigh | sim::kPinDataIn);
  EXPECT_EQ(pins.SampleDataOut(), 0) << "dummy 0";
  pins.WritePins(kSelect);
  EXPECT_EQ(pins.SampleDataOut(), 0) << "falling edge changes nothing";
  const int expected[] = {1, 0, 1, 0, 0, 1, 0, 1};
  for (int bit : expected) EXPECT_EQ(pins.ShiftIn(1), uint32_t(bit));
  pins.WritePins(kDeselect);
  EXPECT_EQ(pins.SampleDataOut(), 1) << "released when deselected";
}

TEST_F(EepromTest, ReadRunsOnIntoTheNextByteAndWrapsAfter127) {
  eeprom().memory[127] = 0x12;
  eeprom().memory[0] = 0x34;
  pins.WritePins(kSelect);
  pins.ShiftOut(kReadWord | 127, kWordBits);
  EXPECT_EQ(pins.ShiftIn(16), 0x1234u);
  pins.WritePins(kDeselect);
}

// One READ, then the clock keeps running: every cell once from the start address, no dummy
// bit between bytes, 127 followed by 0, and on past the start address again.
TEST_F(EepromTest, OneReadShiftsOutTheWholeMemoryAndRollsOver) {
  for (uint32_t i = 0; i < sim::kEepromBytes; ++i) eeprom().memory[i] = uint8_t(i * 7 + 3);
  for (uint8_t start : {0, 1, 100, 126, 127}) {
    pins.WritePins(kSelect);
    pins.ShiftOut(kReadWord | start, kWordBits);
    for (uint32_t n = 0; n < sim::kEepromBytes + 2; ++n) {
      const uint8_t address = uint8_t((start + n) & 0x7F);
      ASSERT_EQ(pins.ShiftIn(8), eeprom().memory[address]) << "from " << int(start) << ", " << n;
    }
    pins.WritePins(kDeselect);
  }
  EXPECT_EQ(eeprom().executed[sim::kEepromRead], 5u);
  EXPECT_EQ(eeprom().aborted, 0u);
}

TEST_F(EepromTest, LeadingZerosBeforeTheStartBitAreIgnored) {
  eeprom().memory[3] = 0x6B;
  pins.WritePins(kSelect);
  pins.ShiftOut(0, 4);
  pins.ShiftOut(kReadWord | 3, kWordBits);
  EXPECT_EQ(pins.ShiftIn(8), 0x6Bu);
  pins.WritePins(kDeselect);
}

TEST_F(EepromTest, AddressTopBitMaskedReachesTheLowHalf) {
  pins.WriteEnable();
  pins.WriteByte(0x85, 0x42);  // the driver masks to 0x05
  pins.WriteDisable();
  EXPECT_EQ(eeprom().memory[0x05], 0x42);
  EXPECT_EQ(pins.ReadByte(0x85), 0x42);
}

TEST_F(EepromTest, UnmaskedTopAddressBitTurnsReadIntoErase) {
  eeprom().memory[5] = 0x42;
  pins.WriteEnable();
  pins.WritePins(kSelect);
  pins.ShiftOut(kReadWord | 0x85, kWordBits);  // 0x385: 1 11 0000101
  pins.WritePins(kDeselect);
  EXPECT_EQ(eeprom().memory[5], 0xFF);
  EXPECT_EQ(eeprom().executed[sim::kEepromErase], 1u);
  EXPECT_EQ(eeprom().executed[sim::kEepromRead], 0u);
}

// Programming takes its time from the fall of chip select, clocked or not: at a millisecond
// a request, the samples that read busy are the programming time's milliseconds less the
// two requests that deselect and select again.
TEST_F(EepromTest, ProgrammingTakesItsTimeFromTheDeselectClockedOrNot) {
  for (uint32_t programUs : {0u, 2000u, 3000u, 6000u}) {
    SetUp();
    pins.requestUs = 1000;
    eeprom().programUs = programUs;
    pins.WriteEnable();
    const int busy = pins.WriteByteWaiting(7, 0x5D, 100);
    EXPECT_EQ(busy, programUs <= 2000 ? 0 : int(programUs / 1000) - 2) << programUs;
    pins.WriteDisable();
    EXPECT_EQ(eeprom().memory[7], 0x5D);
    EXPECT_EQ(pins.ReadByte(7), 0x5D);
    EXPECT_EQ(eeprom().ignoredWhileBusy, 0u);
  }
  // Unclocked, unselected: time alone ends it.
  SetUp();
  pins.requestUs = 0;
  eeprom().programUs = 3000;
  pins.WriteEnable();
  pins.WriteByte(7, 0x11);
  EXPECT_EQ(pins.WaitReady(1), -1);
  pins.nowUs += 3000;
  EXPECT_EQ(pins.WaitReady(1), 0);
  EXPECT_EQ(eeprom().ignoredWhileBusy, 0u);
}

TEST_F(EepromTest, NeverReadyFaultKeepsBusyAndProgramsNothingUntilCleared) {
  eeprom().neverReady = true;
  pins.requestUs = 1000;
  pins.WriteEnable();
  EXPECT_EQ(pins.WriteByteWaiting(7, 0x5D, 50), -1);
  EXPECT_EQ(eeprom().memory[7], 0xFF);
  EXPECT_EQ(eeprom().bytesProgrammed, 0u);
  EXPECT_EQ(pins.ReadByte(7), 0x00) << "data out held at busy";
  EXPECT_EQ(eeprom().executed[sim::kEepromRead], 0u);
  EXPECT_GT(eeprom().ignoredWhileBusy, 0u);
  // Mended: the cycle under way ends at once, having programmed nothing.
  eeprom().neverReady = false;
  EXPECT_EQ(pins.WaitReady(1), 0);
  pins.WritePins(kDeselect);
  EXPECT_EQ(pins.ReadByte(7), 0xFF);
}

// A write sent right after the last, while the part still programs: its start bit is
// refused and counted, and it programs nothing.
TEST_F(EepromTest, AnInstructionSentWhileStillBusyIsRefused) {
  eeprom().programUs = 3000;
  pins.requestUs = 50;  // the whole next write goes out within the 3 ms
  pins.WriteEnable();
  pins.WriteByte(1, 0x11);
  pins.WriteByte(2, 0x22);
  EXPECT_EQ(eeprom().memory[1], 0x11);
  EXPECT_EQ(eeprom().memory[2], 0xFF);
  EXPECT_EQ(eeprom().executed[sim::kEepromWrite], 1u);
  EXPECT_GT(eeprom().ignoredWhileBusy, 0u);
}

TEST_F(EepromTest, ChipSelectDroppedMidWriteProgramsNothing) {
  const uint32_t frame = ((kWriteWord | 4) << 8) | 0x3C;  // 18 bits: word, then data
  for (int sent : {1, 5, 9, 10, 11, 17, 18}) {
    SetUp();
    pins.WriteEnable();
    pins.WritePins(kSelect);
    pins.ShiftOut(frame >> (18 - sent), sent);
    pins.WritePins(kDeselect);
    const bool complete = sent == 18;
    EXPECT_EQ(eeprom().memory[4], complete ? 0x3C : 0xFF) << sent << " bits";
    EXPECT_EQ(eeprom().executed[sim::kEepromWrite], complete ? 1u : 0u) << sent << " bits";
    EXPECT_EQ(eeprom().aborted, complete ? 0u : 1u) << sent << " bits";
    // The part is back at the start: a full instruction afterwards works.
    pins.WriteByte(4, 0x77);
    EXPECT_EQ(eeprom().memory[4], 0x77) << sent << " bits";
  }
}

TEST_F(EepromTest, ChipSelectDroppedMidWriteEnableLeavesWritesDisabled) {
  pins.WritePins(kSelect);
  pins.ShiftOut(kEwenWord >> 1, kWordBits - 1);
  pins.WritePins(kDeselect);
  pins.WriteByte(4, 0x3C);
  EXPECT_EQ(eeprom().memory[4], 0xFF);
  EXPECT_EQ(eeprom().aborted, 1u);
  EXPECT_EQ(eeprom().refusedDisabled, 1u);
}

TEST_F(EepromTest, LogRecordsReceivedInstructionsInOrder) {
  eeprom().memory[9] = 0x99;
  pins.WriteEnable();
  pins.WriteByte(3, 0x33);
  EXPECT_EQ(pins.ReadByte(9), 0x99);
  pins.WriteDisable();
  const struct {
    sim::EepromInstruction kind;
    uint8_t address;
    uint8_t data;
  } expected[] = {{sim::kEepromEwen, 0, 0},
                  {sim::kEepromWrite, 3, 0x33},
                  {sim::kEepromRead, 9, 0x99},
                  {sim::kEepromEwds, 0, 0}};
  ASSERT_EQ(eeprom().logCount, std::size(expected));
  for (uint32_t i = 0; i < std::size(expected); ++i) {
    const sim::EepromLogEntry* entry = sim::EepromLogAt(eeprom(), i);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->instruction, expected[i].kind) << i;
    EXPECT_EQ(entry->address, expected[i].address) << i;
    EXPECT_EQ(entry->data, expected[i].data) << i;
    EXPECT_EQ(entry->refused, 0) << i;
  }
  EXPECT_EQ(sim::EepromLogAt(eeprom(), std::size(expected)), nullptr);
}

TEST_F(EepromTest, LogKeepsOnlyTheLatestEntries) {
  for (uint32_t i = 0; i < sim::kEepromLogSize + 4; ++i) pins.ReadByte(static_cast<uint8_t>(i));
  EXPECT_EQ(sim::EepromLogAt(eeprom(), 3), nullptr);
  const sim::EepromLogEntry* oldest = sim::EepromLogAt(eeprom(), 4);
  ASSERT_NE(oldest, nullptr);
  EXPECT_EQ(oldest->address, 4);
  const sim::EepromLogEntry* newest = sim::EepromLogAt(eeprom(), sim::kEepromLogSize + 3);
  ASSERT_NE(newest, nullptr);
  EXPECT_EQ(newest->address, sim::kEepromLogSize + 3);
}

// Pin-level details checked on the bare part.
TEST(EepromPins, DataInIsTakenOnlyAtTheRisingEdge) {
  sim::Eeprom93c46 e;
  sim::EepromInit(e, 0x00);
  sim::EepromStep(e, true, false, false, 0);
  sim::EepromStep(e, true, false, true, 0);  // EWEN 1 00 11xxxxx, DI changing while clock high
  for (uint32_t word = kEwenWord, bit = kWordBits; bit-- > 0;) {
    const bool level = (word >> bit) & 1;
    sim::EepromStep(e, true, false, level, 0);
    sim::EepromStep(e, true, true, level, 0);
    sim::EepromStep(e, true, true, !level, 0);
    sim::EepromStep(e, true, false, !level, 0);
  }
  sim::EepromStep(e, false, false, false, 0);
  EXPECT_TRUE(e.writeEnabled);
  EXPECT_EQ(e.executed[sim::kEepromEwen], 1u);
  EXPECT_EQ(e.aborted, 0u);
  EXPECT_EQ(e.timingFaults, uint32_t(kWordBits)) << "each change with the clock high counted";
}

TEST(EepromPins, ClockEdgeOnTheStepThatRaisesChipSelectIsNotTaken) {
  sim::Eeprom93c46 e;
  sim::EepromInit(e, 0x00);
  sim::EepromStep(e, true, true, true, 0);  // would be a start bit if it were taken
  sim::EepromStep(e, true, false, false, 0);
  for (int bit = kWordBits - 1; bit >= 0; --bit) {
    const bool level = (kEwenWord >> bit) & 1;
    sim::EepromStep(e, true, false, level, 0);
    sim::EepromStep(e, true, true, level, 0);
  }
  sim::EepromStep(e, false, false, false, 0);
  EXPECT_TRUE(e.writeEnabled);
}

// The timing rule on single pin changes, as the port's pin writes make them (chip select
// 0x08, clock 0x10, data in 0x20).
struct PinChangeCase {
  const char* name;
  std::vector<uint8_t> writes;
  uint32_t faults;
};

constexpr uint8_t kCs = sim::kPinChipSelect;
constexpr uint8_t kSk = sim::kPinClock;
constexpr uint8_t kDi = sim::kPinDataIn;

const PinChangeCase kPinChangeCases[] = {
    {"DataRisesWithTheRisingEdge", {kCs, kCs | kSk | kDi}, 1},
    {"DataFallsWithTheRisingEdge", {kCs | kDi, kCs | kSk}, 1},
    {"DataChangesWhileTheClockStaysHigh", {kCs, kCs | kSk, kCs | kSk | kDi}, 1},
    {"DataChangesWithTheFallingEdge", {kCs, kCs | kSk, kCs | kDi}, 0},
    {"DataChangesWhileTheClockIsLow", {kCs, kCs | kDi, kCs}, 0},
    {"DataSteadyAcrossBothEdges", {kCs | kDi, kCs | kSk | kDi, kCs | kDi}, 0},
    {"DataChangesWhileDeselected", {0, kSk, kSk | kDi, kDi, kSk}, 0},
    {"DataChangesAsChipSelectRises", {kSk, kCs | kSk | kDi}, 0},
    {"DataChangesAsChipSelectFalls", {kCs | kSk, kSk | kDi}, 0},
    {"EveryChangeCounts", {kCs, kCs | kSk | kDi, kCs | kSk, kCs | kSk | kDi, kCs}, 3},
};

void PrintTo(const PinChangeCase& c, std::ostream* os) { *os << c.name; }

class PinChangeTest : public ::testing::TestWithParam<PinChangeCase> {};

TEST_P(PinChangeTest, DataChangeWithTheClockHighIsATimingFault) {
  sim::PortBox box;
  sim::PortBoxInit(box, 0xF3);
  PinDriver pins(box);
  for (uint8_t pattern : GetParam().writes) pins.WritePins(uint8_t(sim::kPinDataOut | pattern));
  EXPECT_EQ(box.eeprom.timingFaults, GetParam().faults);
  EXPECT_EQ(pins.failedRequests, 0);
}

INSTANTIATE_TEST_SUITE_P(Rule, PinChangeTest, ::testing::ValuesIn(kPinChangeCases),
                         [](const ::testing::TestParamInfo<PinChangeCase>& info) {
                           return std::string(info.param.name);
                         });

// Whole instructions in both framings of a bit: what the part does, and whether the
// sequence keeps the timing rule.
struct FramingCase {
  const char* name;
  BitFraming framing;
  uint8_t address;
  int written;  // the byte a WRITE stores, or -1 for a READ
  uint32_t faults;
  const char* firstFault;  // its text, when there is one
};

const FramingCase kFramingCases[] = {
    {"TwoWritesReadOddAddress", BitFraming::kTwoWrites, 0x05, -1, 0, nullptr},
    {"TwoWritesReadEvenAddress", BitFraming::kTwoWrites, 0x04, -1, 0, nullptr},
    {"TwoWritesWrite", BitFraming::kTwoWrites, 0x05, 0xA5, 0, nullptr},
    {"ThreeWritesWrite", BitFraming::kThreeWrites, 0x05, 0xA5, 0, nullptr},
    {"ThreeWritesReadEvenAddress", BitFraming::kThreeWrites, 0x04, -1, 0, nullptr},
    // The last address bit (1) leaves data in high; the first clock of the read-out raises
    // the clock and drops data in together.
    {"ThreeWritesReadOddAddress", BitFraming::kThreeWrites, 0x05, -1, 1,
     "read-out of READ 0x05: CS=1 SK=0 DI=1 -> CS=1 SK=1 DI=0"},
    {"ThreeWritesReadAddress127", BitFraming::kThreeWrites, 0x7F, -1, 1,
     "read-out of READ 0x7F: CS=1 SK=0 DI=1 -> CS=1 SK=1 DI=0"},
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

class FramingTest : public ::testing::TestWithParam<FramingCase> {};

TEST_P(FramingTest, InstructionKeepsTheTimingRuleOrIsCaught) {
  const FramingCase& c = GetParam();
  sim::PortBox box;
  sim::PortBoxInit(box, 0xF3);
  for (uint32_t i = 0; i < sim::kEepromBytes; ++i) box.eeprom.memory[i] = uint8_t(0x80 | i);
  PinDriver pins(box, c.framing);
  pins.WriteEnable();
  if (c.written < 0) {
    EXPECT_EQ(pins.ReadByte(c.address), 0x80 | c.address);
  } else {
    pins.WriteByte(c.address, uint8_t(c.written));
    EXPECT_EQ(box.eeprom.memory[c.address], c.written);
  }
  pins.WriteDisable();
  EXPECT_EQ(box.eeprom.aborted, 0u);
  EXPECT_EQ(box.eeprom.executed[sim::kEepromEwen], 1u);
  EXPECT_EQ(box.eeprom.executed[sim::kEepromEwds], 1u);
  EXPECT_EQ(box.eeprom.timingFaults, c.faults);
  if (c.firstFault != nullptr) {
    EXPECT_EQ(FaultText(box.eeprom), c.firstFault);
  }
}

INSTANTIATE_TEST_SUITE_P(Framings, FramingTest, ::testing::ValuesIn(kFramingCases),
                         [](const ::testing::TestParamInfo<FramingCase>& info) {
                           return std::string(info.param.name);
                         });

// The record keeps the first fault and the latest; a power cycle keeps them, a new part
// has none.
TEST(EepromTimingFaults, FirstFaultKeptAndDescribedByPhase) {
  sim::Eeprom93c46 e;
  sim::EepromInit(e, 0x00);
  sim::EepromStep(e, true, false, false, 0);
  for (int bit = 0; bit < 4; ++bit) {  // start bit 1 and three 0s, two writes per bit
    sim::EepromStep(e, true, false, bit == 0, 0);
    sim::EepromStep(e, true, true, bit == 0, 0);
  }
  sim::EepromStep(e, true, true, true, 0);  // while the clock is high, in the middle of the word
  sim::EepromStep(e, true, false, false, 0);
  sim::EepromStep(e, true, true, true, 0);  // with the rising edge
  EXPECT_EQ(e.timingFaults, 2u);
  EXPECT_EQ(FaultText(e), "command after 4 bits: CS=1 SK=1 DI=0 -> CS=1 SK=1 DI=1");
  char last[sim::kEepromFaultTextSize];
  sim::EepromTimingFaultText(e.lastTimingFault, last, sizeof last);
  EXPECT_STREQ(last, "command after 4 bits: CS=1 SK=0 DI=0 -> CS=1 SK=1 DI=1");
  sim::EepromPowerUp(e);
  EXPECT_EQ(e.timingFaults, 2u);
  sim::EepromClearTimingFaults(e);
  EXPECT_EQ(e.timingFaults, 0u);
  sim::EepromInit(e, 0x00);
  EXPECT_EQ(e.timingFaults, 0u);
}

}  // namespace
}  // namespace models_test
