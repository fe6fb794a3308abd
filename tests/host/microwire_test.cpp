// The Microwire framing on its own: a pin port straight onto the simulated port box, no
// Win32 stand-in in between.
#include <gmock/gmock.h>

#include <functional>
#include <string>
#include <vector>

#include "driverport/microwire.h"
#include "models/port_box.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// The reads the tests make, from the framing's read steps as the library uses them.
uint8_t EepromReadByte(Microwire& bus, uint8_t address) {
  if (!EepromBeginRead(bus, address)) return 0;
  uint8_t value = EepromReadNextByte(bus);
  MicrowireEndInstruction(bus);
  return value;
}

void EepromReadBlock(Microwire& bus, uint8_t* destination, uint8_t start, uint8_t length) {
  if (!bus.state.active || length == 0) return;
  if (!EepromBeginRead(bus, start)) {
    for (uint8_t i = 0; i < length; ++i) destination[i] = 0;
    return;
  }
  for (uint8_t i = 0; i < length; ++i) destination[i] = EepromReadNextByte(bus);
  MicrowireEndInstruction(bus);
}

// Polls of data out the ready wait below makes before it gives up.
constexpr uint32_t kMaxReadyPolls = 1000;

// The pins of a simulated port box, with the command and reply blocks a driver request
// carries and a log of the blocks sent.
struct BoxPins {
  sim::PortBox box;
  uint8_t command[sim::kPortCommandBytes] = {};
  uint8_t reply[sim::kPortReplyBytes] = {};
  std::vector<std::string> sent;
  std::function<bool(const uint8_t* command)> fails;  // true: the request fails

  bool Request() {
    char text[12];
    snprintf(text, sizeof text, "%02x %02x %02x %02x", command[0], command[1], command[2],
             command[3]);
    sent.push_back(text);
    if (fails && fails(command)) return false;
    return sim::PortBoxRequest(box, sim::kPortRequestCode, command, reply, 0);
  }
  static bool Write(void* self, uint8_t pattern) {
    BoxPins& p = *static_cast<BoxPins*>(self);
    p.command[0] = 0x15;
    p.command[1] = 0x00;
    p.command[2] = pattern;
    return p.Request();
  }
  static bool Sample(void* self, uint8_t* replyByte) {
    BoxPins& p = *static_cast<BoxPins*>(self);
    p.command[0] = 0x14;
    bool ok = p.Request();
    *replyByte = p.reply[1];
    return ok;
  }
};

// The ready wait and the instructions the library itself never sends, built from the
// framing's steps as the part's datasheet frames them.
bool WaitReady(Microwire& bus) {
  MicrowirePins(bus, kPinsDeselect);  // starts the programming
  for (uint32_t poll = 0; poll < kMaxReadyPolls && !bus.state.halted; ++poll) {
    MicrowirePins(bus, kPinsSelect);
    MicrowirePins(bus, kPinsClockHigh);
    MicrowireSample(bus);
    bool ready = (bus.state.reply & kPinDataOut) != 0;
    if (ready && !bus.state.halted) return true;
  }
  return false;
}

bool FinishWaiting(Microwire& bus) {
  bool ok = WaitReady(bus);
  MicrowireEndInstruction(bus);
  return ok && !bus.state.halted;
}

bool WriteByteWaiting(Microwire& bus, uint8_t address, uint8_t value) {
  if (!MicrowireBeginInstruction(bus, kWriteWord | (address & 0x7F))) return false;
  ShiftOutBits(bus, value, 8);
  return FinishWaiting(bus);
}

bool EraseWaiting(Microwire& bus, uint8_t address) {
  return MicrowireBeginInstruction(bus, kEraseWord | (address & 0x7F)) && FinishWaiting(bus);
}

bool EraseAll(Microwire& bus) {
  if (!MicrowireBeginInstruction(bus, kEraseAllWord)) return false;
  MicrowireEndInstruction(bus);
  return !bus.state.halted;
}

bool WriteBlock(Microwire& bus, const uint8_t* source, uint8_t start, uint8_t length) {
  if (!bus.state.active) return false;
  bool ok = true;
  for (uint8_t i = 0; i < length; ++i) {
    ok = EepromWriteByte(bus, static_cast<uint8_t>(start + i), source[i]) && ok;
  }
  return ok;
}

class MicrowireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::PortBoxInit(pins_.box, 0xF3);
    MicrowireStart(bus_);
  }

  uint8_t* Memory() { return pins_.box.eeprom.memory; }
  size_t Requests() const { return pins_.sent.size(); }
  const std::vector<std::string>& Commands() const { return pins_.sent; }
  void ClearLog() { pins_.sent.clear(); }

  // Patterns of the pin writes sent, as numbers.
  std::vector<int> PinWrites() const {
    std::vector<int> out;
    for (const std::string& c : pins_.sent) {
      if (c.compare(0, 5, "15 00") == 0) out.push_back(std::stoi(c.substr(6, 2), nullptr, 16));
    }
    return out;
  }

  BoxPins pins_;
  Microwire bus_ = {{BoxPins::Write, BoxPins::Sample, nullptr, &pins_}, {}};
};

TEST_F(MicrowireTest, InstructionCostsInTransfers) {
  struct Case {
    const char* name;
    std::function<void(Microwire&)> send;
    size_t transfers;
  };
  const Case cases[] = {
      {"read", [](Microwire& b) { EepromReadByte(b, 3); }, 46},
      {"read of four bytes, one instruction",
       [](Microwire& b) {
         uint8_t four[4];
         EepromReadBlock(b, four, 3, 4);
       },
       118},
      {"write enable", [](Microwire& b) { EXPECT_TRUE(EepromWriteEnable(b)); }, 23},
      {"write", [](Microwire& b) { EepromWriteByte(b, 3, 0x5A); }, 38},
      {"write disable", [](Microwire& b) { EepromWriteDisable(b); }, 22},
  };
  for (const Case& c : cases) {
    ClearLog();
    c.send(bus_);
    EXPECT_EQ(Requests(), c.transfers) << c.name;
  }
  EXPECT_EQ(Memory()[3], 0x5A);
}

// Each bit in two pin writes: the data with the clock going low, then the clock's rising
// edge with the data unchanged.
TEST_F(MicrowireTest, WriteEnableWordGoesOutMostSignificantBitFirst) {
  EepromWriteEnable(bus_);
  std::vector<int> pins = PinWrites();
  ASSERT_EQ(pins.size(), 23u);
  EXPECT_EQ(pins[0], 0x40);
  EXPECT_EQ(pins[1], 0x48);
  EXPECT_THAT(std::vector<int>(pins.begin() + 2, pins.begin() + 4), ElementsAre(0x68, 0x78));
  const int dataIn[10] = {1, 0, 0, 1, 1, 0, 0, 0, 0, 0};
  for (int bit = 0; bit < 10; ++bit) {
    int base = 2 + 2 * bit;
    int level = dataIn[bit] ? 0x20 : 0;
    EXPECT_EQ(pins[base], 0x48 | level) << bit;
    EXPECT_EQ(pins[base + 1], 0x58 | level) << bit;
  }
  EXPECT_EQ(pins[22], 0x40);
  EXPECT_TRUE(pins_.box.eeprom.writeEnabled);
}

// After the word, each bit in: the clock low (data in dropped with it), the clock high, a
// sample; the part goes on into the following bytes while the clock runs.
TEST_F(MicrowireTest, ReadClocksEachBitWithTwoWritesAndASampleAndRunsOnIntoTheNextBytes) {
  Memory()[5] = 0xA5;
  Memory()[6] = 0x3C;
  uint8_t two[2] = {};
  EepromReadBlock(bus_, two, 5, 2);
  EXPECT_THAT(std::vector<uint8_t>(two, two + 2), ElementsAre(0xA5, 0x3C));
  ASSERT_EQ(Commands().size(), 70u);
  for (int bit = 0; bit < 16; ++bit) {
    EXPECT_EQ(Commands()[21 + 3 * bit], "15 00 48 00");
    EXPECT_EQ(Commands()[22 + 3 * bit], "15 00 58 00");
    EXPECT_EQ(Commands()[23 + 3 * bit], "14 00 58 00");
  }
  EXPECT_EQ(Commands()[69], "15 00 40 00");
  EXPECT_EQ(pins_.box.eeprom.executed[sim::kEepromRead], 1u);
}

TEST_F(MicrowireTest, AddressesKeepSevenBits) {
  EepromWriteEnable(bus_);
  EXPECT_TRUE(EepromWriteByte(bus_, 0x85, 0x33));
  EXPECT_EQ(Memory()[0x05], 0x33);
  Memory()[0x05] = 0x44;
  EXPECT_EQ(EepromReadByte(bus_, 0x85), 0x44);
}

TEST_F(MicrowireTest, BlocksRunOnFrom127To0AndAnEmptyBlockSendsNothing) {
  uint8_t none[1] = {0x77};
  EepromReadBlock(bus_, none, 10, 0);
  EXPECT_TRUE(WriteBlock(bus_, none, 10, 0));
  EXPECT_THAT(Commands(), IsEmpty());
  EXPECT_EQ(none[0], 0x77);

  const uint8_t data[4] = {1, 2, 3, 4};
  EepromWriteEnable(bus_);
  WriteBlock(bus_, data, 126, 4);
  EepromWriteDisable(bus_);
  const uint8_t* m = Memory();
  EXPECT_THAT(std::vector<uint8_t>({m[126], m[127], m[0], m[1]}), ElementsAre(1, 2, 3, 4));
  uint8_t back[4] = {};
  EepromReadBlock(bus_, back, 126, 4);
  EXPECT_THAT(std::vector<uint8_t>(back, back + 4), ElementsAre(1, 2, 3, 4));
}

TEST_F(MicrowireTest, AFailedSampleDropsTheBitsGatheredSoFar) {
  Memory()[7] = 0xFF;
  int samples = 0;
  pins_.fails = [&samples](const uint8_t* cmd) {
    return cmd[0] == 0x14 && ++samples == 8;  // the last of the eight samples fails
  };
  uint8_t value = EepromReadByte(bus_, 7);
  EXPECT_LE(value, 1);
  EXPECT_TRUE(bus_.state.failed);
}

TEST_F(MicrowireTest, ALostClockEdgeCannotTurnAWriteIntoEraseAll) {
  // Without its start bit, "write 0x42 to address 16" reads as ERAL followed by junk.
  for (uint32_t i = 0; i < sim::kEepromBytes; ++i) Memory()[i] = static_cast<uint8_t>(i);
  EepromWriteEnable(bus_);
  int pinWrites = 0;
  pins_.fails = [&pinWrites](const uint8_t* cmd) {
    return cmd[0] == 0x15 && ++pinWrites == 3;  // select, data 1, clock high: lost
  };
  EXPECT_FALSE(EepromWriteByte(bus_, 16, 0x42));
  EXPECT_TRUE(bus_.state.failed);
  EXPECT_EQ(pins_.box.eeprom.executed[sim::kEepromEral], 0u);
  EXPECT_EQ(Commands().back(), "15 00 40 00");  // abandoned with a deselect
  for (uint32_t i = 0; i < sim::kEepromBytes; ++i) {
    EXPECT_EQ(Memory()[i], static_cast<uint8_t>(i)) << i;
  }
  // The next operation works again.
  pins_.fails = nullptr;
  MicrowireStart(bus_);
  EXPECT_TRUE(EepromWriteByte(bus_, 16, 0x42));
  EXPECT_EQ(Memory()[16], 0x42);
}

TEST_F(MicrowireTest, AnInstructionAfterAFailedDeselectStartsWithOne) {
  Memory()[2] = 0x5A;
  pins_.fails = [](const uint8_t* cmd) {
    return cmd[0] == 0x15 && cmd[2] == 0x40;  // every deselect fails
  };
  EepromReadByte(bus_, 1);
  EXPECT_TRUE(bus_.state.unsure);
  pins_.fails = nullptr;
  MicrowireStart(bus_);
  ClearLog();
  EXPECT_EQ(EepromReadByte(bus_, 2), 0x5A);
  EXPECT_EQ(Requests(), 47u);
  EXPECT_EQ(Commands().front(), "15 00 40 00");
}

TEST_F(MicrowireTest, NothingIsSentOutsideAnOperation) {
  MicrowireStop(bus_);
  EXPECT_FALSE(EepromWriteEnable(bus_));
  EXPECT_FALSE(EepromWriteDisable(bus_));
  EXPECT_EQ(EepromReadByte(bus_, 1), 0);
  EXPECT_FALSE(EepromWriteByte(bus_, 1, 2));
  EXPECT_FALSE(EraseWaiting(bus_, 1));
  uint8_t dest[2] = {9, 9};
  EepromReadBlock(bus_, dest, 0, 2);
  EXPECT_THAT(Commands(), IsEmpty());
  EXPECT_EQ(dest[0], 9);
}

TEST_F(MicrowireTest, WaitForReadyPollsUntilReady) {
  pins_.box.eeprom.busyEdges = 3;
  EepromWriteEnable(bus_);
  ClearLog();
  EXPECT_TRUE(WriteByteWaiting(bus_, 9, 0x12));
  size_t polls = (Requests() - 39) / 3;
  EXPECT_GE(polls, 1u);
  EXPECT_LE(polls, 4u);
  EXPECT_EQ(Memory()[9], 0x12);
  ClearLog();
  EXPECT_TRUE(EraseWaiting(bus_, 9));
  EXPECT_EQ(Memory()[9], 0xFF);
  EXPECT_TRUE(EraseAll(bus_));
}

TEST_F(MicrowireTest, APartThatNeverBecomesReadyCannotHoldTheCaller) {
  pins_.box.eeprom.neverReady = true;
  EepromWriteEnable(bus_);
  ClearLog();
  EXPECT_FALSE(WriteByteWaiting(bus_, 9, 0x12));
  EXPECT_EQ(Requests(), 39u + 3u * kMaxReadyPolls);
  EXPECT_EQ(Commands().back(), "15 00 40 00");  // deselected at the end all the same
}

}  // namespace
