// The Microwire framing on its own, against the simulated EEPROM at pin level.
#include <gmock/gmock.h>

#include "driverport/microwire.h"
#include "driverport/port_link.h"
#include "port_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class MicrowireTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    gPortLink = DriverPortLink{};
    gPortLink.handle = INVALID_HANDLE_VALUE;
    hostwin::AddPortBox(0);
    ASSERT_NE(PortOpenDevice(0), INVALID_HANDLE_VALUE);
    hostwin::ClearTrace();
  }
  void TearDown() override { PortCloseDevice(0); }

  // Patterns of the pin writes sent, as numbers.
  static std::vector<int> PinWrites() {
    std::vector<int> out;
    for (const std::string& c : Commands()) {
      if (c.compare(0, 5, "15 00") == 0) out.push_back(std::stoi(c.substr(6, 2), nullptr, 16));
    }
    return out;
  }
};

TEST_F(MicrowireTest, InstructionCostsInTransfers) {
  EepromReadByte(3);
  EXPECT_EQ(Requests(), 56u);
  hostwin::ClearTrace();
  EXPECT_TRUE(EepromWriteEnable());
  EXPECT_EQ(Requests(), 33u);
  hostwin::ClearTrace();
  EepromWriteByte(3, 0x5A, false);
  EXPECT_EQ(Requests(), 56u);
  hostwin::ClearTrace();
  EepromWriteDisable();
  EXPECT_EQ(Requests(), 32u);
  EXPECT_EQ(Box(0).eeprom.memory[3], 0x5A);
}

TEST_F(MicrowireTest, WriteEnableWordGoesOutMostSignificantBitFirst) {
  EepromWriteEnable();
  std::vector<int> pins = PinWrites();
  ASSERT_EQ(pins.size(), 33u);
  EXPECT_EQ(pins[0], 0x40);
  EXPECT_EQ(pins[1], 0x48);
  EXPECT_THAT(std::vector<int>(pins.begin() + 2, pins.begin() + 5), ElementsAre(0x68, 0x78, 0x68));
  const int dataIn[10] = {1, 0, 0, 1, 1, 0, 0, 0, 0, 0};
  for (int bit = 0; bit < 10; ++bit) {
    int base = 2 + 3 * bit;
    int level = dataIn[bit] ? 0x20 : 0;
    EXPECT_EQ(pins[base], 0x48 | level) << bit;
    EXPECT_EQ(pins[base + 1], 0x58 | level) << bit;
    EXPECT_EQ(pins[base + 2], 0x48 | level) << bit;
  }
  EXPECT_EQ(pins[32], 0x40);
  EXPECT_TRUE(Box(0).eeprom.writeEnabled);
}

TEST_F(MicrowireTest, ReadClocksEachBitWithAWriteASampleAndAWrite) {
  Box(0).eeprom.memory[5] = 0xA5;
  EXPECT_EQ(EepromReadByte(5), 0xA5);
  std::vector<std::string> commands = Commands();
  ASSERT_EQ(commands.size(), 56u);
  for (int bit = 0; bit < 8; ++bit) {
    EXPECT_EQ(commands[31 + 3 * bit], "15 00 58 00");
    EXPECT_EQ(commands[32 + 3 * bit], "14 00 58 00");
    EXPECT_EQ(commands[33 + 3 * bit], "15 00 48 00");
  }
  EXPECT_EQ(commands[55], "15 00 40 00");
}

TEST_F(MicrowireTest, AddressesKeepSevenBits) {
  EepromWriteEnable();
  EXPECT_TRUE(EepromWriteByte(0x85, 0x33, false));
  EXPECT_EQ(Box(0).eeprom.memory[0x05], 0x33);
  Box(0).eeprom.memory[0x05] = 0x44;
  EXPECT_EQ(EepromReadByte(0x85), 0x44);
}

TEST_F(MicrowireTest, BlocksRunOnFrom127To0AndAnEmptyBlockSendsNothing) {
  uint8_t none[1] = {0x77};
  EepromReadBlock(none, 10, 0);
  EXPECT_TRUE(EepromWriteBlock(none, 10, 0, false));
  EXPECT_THAT(hostwin::Trace(), IsEmpty());
  EXPECT_EQ(none[0], 0x77);

  const uint8_t data[4] = {1, 2, 3, 4};
  EepromWriteEnable();
  EepromWriteBlock(data, 126, 4, false);
  EepromWriteDisable();
  const uint8_t* m = Box(0).eeprom.memory;
  EXPECT_THAT(std::vector<uint8_t>({m[126], m[127], m[0], m[1]}), ElementsAre(1, 2, 3, 4));
  uint8_t back[4] = {};
  EepromReadBlock(back, 126, 4);
  EXPECT_THAT(std::vector<uint8_t>(back, back + 4), ElementsAre(1, 2, 3, 4));
}

TEST_F(MicrowireTest, AFailedSampleDropsTheBitsGatheredSoFar) {
  Box(0).eeprom.memory[7] = 0xFF;
  int samples = 0;
  hostwin::OnDeviceRequest([&samples](int, uint32_t, const uint8_t* cmd) {
    return !(cmd[0] == 0x14 && ++samples == 8);  // the last of the eight samples fails
  });
  uint8_t value = EepromReadByte(7);
  EXPECT_LE(value, 1);
  EXPECT_TRUE(gPortLink.transferFailed);
}

TEST_F(MicrowireTest, ALostClockEdgeCannotTurnAWriteIntoEraseAll) {
  // Without its start bit, "write 0x42 to address 16" reads as ERAL followed by junk.
  for (uint32_t i = 0; i < sim::kEepromBytes; ++i)
    Box(0).eeprom.memory[i] = static_cast<uint8_t>(i);
  EepromWriteEnable();
  int pinWrites = 0;
  hostwin::OnDeviceRequest([&pinWrites](int, uint32_t, const uint8_t* cmd) {
    return !(cmd[0] == 0x15 && ++pinWrites == 3);  // select, data 1, clock high: lost
  });
  gPortLink.transferFailed = false;
  EXPECT_FALSE(EepromWriteByte(16, 0x42, false));
  EXPECT_TRUE(gPortLink.transferFailed);
  EXPECT_EQ(Box(0).eeprom.executed[sim::kEepromEral], 0u);
  EXPECT_EQ(Commands().back(), "15 00 40 00");  // abandoned with a deselect
  for (uint32_t i = 0; i < sim::kEepromBytes; ++i) {
    EXPECT_EQ(Box(0).eeprom.memory[i], static_cast<uint8_t>(i)) << i;
  }
  // The next instruction works again.
  hostwin::OnDeviceRequest(nullptr);
  gPortLink.pinsHalted = false;
  EXPECT_TRUE(EepromWriteByte(16, 0x42, false));
  EXPECT_EQ(Box(0).eeprom.memory[16], 0x42);
}

TEST_F(MicrowireTest, AnInstructionAfterAFailedDeselectStartsWithOne) {
  Box(0).eeprom.memory[2] = 0x5A;
  hostwin::OnDeviceRequest([](int, uint32_t, const uint8_t* cmd) {
    return !(cmd[0] == 0x15 && cmd[2] == 0x40);  // every deselect fails
  });
  EepromReadByte(1);
  EXPECT_TRUE(gPortLink.pinsUnsure);
  hostwin::OnDeviceRequest(nullptr);
  gPortLink.pinsHalted = false;
  hostwin::ClearTrace();
  EXPECT_EQ(EepromReadByte(2), 0x5A);
  EXPECT_EQ(Requests(), 57u);
  EXPECT_EQ(Commands().front(), "15 00 40 00");
}

TEST_F(MicrowireTest, NothingIsSentWithoutAnOpenDevice) {
  PortCloseDevice(0);
  hostwin::ClearTrace();
  EXPECT_FALSE(EepromWriteEnable());
  EXPECT_FALSE(EepromWriteDisable());
  EXPECT_EQ(EepromReadByte(1), 0);
  EXPECT_FALSE(EepromWriteByte(1, 2, false));
  EXPECT_FALSE(EepromErase(1, true));
  uint8_t dest[2] = {9, 9};
  EepromReadBlock(dest, 0, 2);
  EXPECT_THAT(hostwin::Trace(), IsEmpty());
  EXPECT_EQ(dest[0], 9);
}

TEST_F(MicrowireTest, WaitForReadyPollsUntilReady) {
  Box(0).eeprom.busyEdges = 3;
  EepromWriteEnable();
  hostwin::ClearTrace();
  EXPECT_TRUE(EepromWriteByte(9, 0x12, true));
  size_t polls = (Requests() - 56 - 2) / 3;
  EXPECT_GE(polls, 1u);
  EXPECT_LE(polls, 4u);
  EXPECT_EQ(Box(0).eeprom.memory[9], 0x12);
  hostwin::ClearTrace();
  EXPECT_TRUE(EepromErase(9, true));
  EXPECT_EQ(Box(0).eeprom.memory[9], 0xFF);
  EXPECT_TRUE(EepromEraseAll(false));
}

TEST_F(MicrowireTest, APartThatNeverBecomesReadyCannotHoldTheCaller) {
  Box(0).eeprom.neverReady = true;
  EepromWriteEnable();
  hostwin::ClearTrace();
  EXPECT_FALSE(EepromWriteByte(9, 0x12, true));
  EXPECT_EQ(Requests(), 56u + 2u + 3u * kMaxReadyPolls);
  EXPECT_EQ(Commands().back(), "15 00 40 00");  // deselected at the end all the same
}

}  // namespace
