// The driver-port box: requests, port status, recovery, faults and the drawer-line record.
#include <gtest/gtest.h>

#include <iterator>

#include "models/port_box.h"
#include "pin_driver.h"

namespace models_test {
namespace {

constexpr uint8_t kUntouched = 0xA7;  // reply filler that no request of the box produces

class PortBoxTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::PortBoxInit(box, 0xF3); }

  bool Send(uint32_t code, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3 = 0) {
    const uint8_t command[sim::kPortCommandBytes] = {b0, b1, b2, b3};
    return sim::PortBoxRequest(box, code, command, reply, uint64_t{nowMs} * 1000, &replyBytes);
  }
  bool ReadStatus() { return Send(sim::kPortRequestCode, 0x14, 0x14, 0x00); }
  bool WriteDrawer(uint8_t pattern) { return Send(sim::kPortRequestCode, 0x17, 0x2F, pattern); }
  bool Recover() { return Send(sim::kPortRecoveryCode, 0x14, 0x14, 0x00); }
  void MarkReply() {
    for (uint8_t& b : reply) b = kUntouched;
  }
  void ExpectReplyUntouched() {
    for (uint8_t b : reply) EXPECT_EQ(b, kUntouched);
  }

  sim::PortBox box;
  uint8_t reply[sim::kPortReplyBytes] = {};
  uint32_t replyBytes = 99;
  uint32_t nowMs = 0;
};

TEST(PortStatus, ValidExactlyForF0ToF7) {
  const struct {
    uint8_t status;
    bool valid;
  } cases[] = {{0xF0, true},  {0xF3, true},  {0xF7, true},  {0xF8, false},
               {0xEF, false}, {0xEB, false}, {0x00, false}, {0xFF, false}};
  for (const auto& c : cases) EXPECT_EQ(sim::PortStatusValid(c.status), c.valid) << int(c.status);
  int valid = 0;
  for (int s = 0; s < 256; ++s) valid += sim::PortStatusValid(static_cast<uint8_t>(s)) ? 1 : 0;
  EXPECT_EQ(valid, 8);
}

TEST_F(PortBoxTest, StatusReadReturnsTheConfiguredStatusInReplyByte1) {
  for (uint8_t status : {0xF3, 0xF0, 0xF7, 0xEB, 0x00, 0xFF}) {
    sim::PortBoxInit(box, status);
    MarkReply();
    ASSERT_TRUE(ReadStatus());
    EXPECT_EQ(reply[1], status);
    EXPECT_EQ(reply[0], 0x14);
    EXPECT_EQ(replyBytes, sim::kPortReplyBytes);
    EXPECT_EQ(box.served[sim::kPortStatusRead], 1u);
  }
}

TEST_F(PortBoxTest, DrawerWriteIsReflectedInTheStatusAndLeavesTheReply) {
  MarkReply();
  ASSERT_TRUE(WriteDrawer(0xF6));
  ExpectReplyUntouched();
  EXPECT_EQ(replyBytes, 0u);
  ASSERT_TRUE(ReadStatus());
  EXPECT_EQ(reply[1], 0xF6);
  ASSERT_TRUE(WriteDrawer(0xF7));
  ASSERT_TRUE(ReadStatus());
  EXPECT_EQ(reply[1], 0xF7);
  EXPECT_EQ(box.served[sim::kPortDrawerWrite], 2u);
  EXPECT_EQ(box.served[sim::kPortStatusRead], 2u);
}

TEST_F(PortBoxTest, ClosedSwitchPullsBit2Low) {
  box.switchLow = true;
  ASSERT_TRUE(ReadStatus());
  EXPECT_EQ(reply[1], 0xF3);  // bit 2 already 0
  ASSERT_TRUE(WriteDrawer(0xF6));
  ASSERT_TRUE(ReadStatus());
  EXPECT_EQ(reply[1], 0xF2);
  box.switchLow = false;
  ASSERT_TRUE(ReadStatus());
  EXPECT_EQ(reply[1], 0xF6);
}

TEST_F(PortBoxTest, RecoveryMakesTheStatusValidWhenConfigured) {
  sim::PortBoxInit(box, 0xEB);
  box.validOnlyAfterRecovery = true;
  box.recoveredStatus = 0xF3;
  ASSERT_TRUE(ReadStatus());
  EXPECT_EQ(reply[1], 0xEB);
  reply[1] = 0;
  ASSERT_TRUE(Recover());
  EXPECT_EQ(reply[1], 0xF3);
  ASSERT_TRUE(ReadStatus());
  EXPECT_EQ(reply[1], 0xF3);
  EXPECT_EQ(box.served[sim::kPortRecovery], 1u);
}

TEST_F(PortBoxTest, RecoveryOtherwiseSucceedsAndChangesNothing) {
  for (uint8_t status : {0xEB, 0xF5}) {
    sim::PortBoxInit(box, status);
    reply[1] = 0;
    ASSERT_TRUE(Recover());
    EXPECT_EQ(reply[1], status);
    EXPECT_EQ(box.port, status);
    EXPECT_EQ(box.drawerEventCount, 0u);
  }
}

TEST_F(PortBoxTest, UnknownRequestsFailAreCountedAndChangeNothing) {
  const struct {
    uint32_t code;
    uint8_t command[4];
  } cases[] = {
      {5, {0x14, 0x14, 0x00, 0x00}}, {0x222032, {0x14, 0x14, 0x00, 0x00}},
      {0, {0x14, 0x14, 0x00, 0x00}}, {4, {0x16, 0x14, 0x00, 0x00}},
      {4, {0x14, 0x2F, 0x00, 0x00}}, {4, {0x15, 0x14, 0x48, 0x00}},
      {4, {0x17, 0x00, 0xF6, 0x00}}, {4, {0x14, 0x14, 0x00, 0x01}},
      {4, {0x17, 0x2F, 0xF6, 0x80}}, {4, {0x00, 0x00, 0x00, 0x00}},
  };
  uint32_t n = 0;
  for (const auto& c : cases) {
    MarkReply();
    EXPECT_FALSE(sim::PortBoxRequest(box, c.code, c.command, reply, uint64_t{nowMs} * 1000)) << n;
    ExpectReplyUntouched();
    EXPECT_EQ(box.unknown, ++n);
  }
  EXPECT_EQ(box.failed, n);
  EXPECT_EQ(box.port, 0xF3);
  EXPECT_EQ(box.pins, 0);
  for (uint32_t served : box.served) EXPECT_EQ(served, 0u);
}

TEST_F(PortBoxTest, RequestsFailFromTheKthSinceConfigured) {
  ASSERT_TRUE(ReadStatus());  // before the fault is set: not counted towards k
  sim::PortBoxFailFrom(box, 3);
  EXPECT_TRUE(ReadStatus());
  EXPECT_TRUE(WriteDrawer(0xF7));
  for (int i = 0; i < 3; ++i) {
    MarkReply();
    EXPECT_FALSE(ReadStatus()) << i;
    ExpectReplyUntouched();
  }
  EXPECT_FALSE(WriteDrawer(0xF2));
  EXPECT_EQ(box.port, 0xF7) << "a failed write does not reach the port";
  EXPECT_EQ(box.failed, 4u);
  EXPECT_EQ(box.unknown, 0u);
  EXPECT_TRUE(box.present);
  sim::PortBoxFailFrom(box, 0);
  EXPECT_TRUE(ReadStatus());
}

TEST_F(PortBoxTest, PulledOutBeforeTheKthRequestStaysAbsent) {
  ASSERT_TRUE(WriteDrawer(0xF2));  // drawer line at 0 from time 0
  sim::PortBoxPullOutBefore(box, 2);
  nowMs = 10;
  EXPECT_TRUE(ReadStatus());
  EXPECT_TRUE(box.present);
  nowMs = 25;
  MarkReply();
  EXPECT_FALSE(ReadStatus());
  ExpectReplyUntouched();
  EXPECT_FALSE(box.present);
  EXPECT_FALSE(Recover());
  EXPECT_FALSE(WriteDrawer(0xF7));
  EXPECT_EQ(box.failed, 3u);
  EXPECT_EQ(box.drawerLine, 1) << "an unpowered box releases the solenoid";
  EXPECT_EQ(sim::PortBoxDrawerLowMs(box, 100), 25u);
}

TEST_F(PortBoxTest, AbsentBoxFailsEveryRequest) {
  box.present = false;
  MarkReply();
  EXPECT_FALSE(ReadStatus());
  EXPECT_FALSE(Send(sim::kPortRequestCode, 0x15, 0x00, 0x48));
  EXPECT_FALSE(Send(sim::kPortRequestCode, 0x14, 0x00, 0x58));
  EXPECT_FALSE(Recover());
  ExpectReplyUntouched();
  EXPECT_EQ(box.failed, 4u);
  EXPECT_EQ(box.unknown, 0u);
}

TEST_F(PortBoxTest, DrawerLineChangesAreLoggedWithTheCallersTime) {
  nowMs = 100;
  ASSERT_TRUE(WriteDrawer(0xF6));  // pulse
  nowMs = 130;
  ASSERT_TRUE(WriteDrawer(0xF6));  // same level: no event
  nowMs = 160;
  ASSERT_TRUE(WriteDrawer(0xF7));  // release
  nowMs = 500;
  ASSERT_TRUE(WriteDrawer(0xF6));
  const struct {
    uint32_t timeMs;
    uint8_t level;
    uint8_t pattern;
  } expected[] = {{100, 0, 0xF6}, {160, 1, 0xF7}, {500, 0, 0xF6}};
  ASSERT_EQ(box.drawerEventCount, std::size(expected));
  for (uint32_t i = 0; i < std::size(expected); ++i) {
    const sim::PortDrawerEvent* e = sim::PortBoxDrawerEventAt(box, i);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->timeMs, expected[i].timeMs) << i;
    EXPECT_EQ(e->level, expected[i].level) << i;
    EXPECT_EQ(e->pattern, expected[i].pattern) << i;
  }
  EXPECT_EQ(sim::PortBoxDrawerEventAt(box, 3), nullptr);
  EXPECT_EQ(box.drawerPulses, 2u);
  EXPECT_EQ(box.drawerLine, 0);
  EXPECT_EQ(sim::PortBoxDrawerLowMs(box, 560), 60u + 60u);
}

TEST_F(PortBoxTest, DrawerLogKeepsTheLatestChanges) {
  const uint32_t changes = sim::kPortDrawerLogSize + 8;
  for (uint32_t i = 0; i < changes; ++i) {
    nowMs = 10 * (i + 1);
    ASSERT_TRUE(WriteDrawer((i % 2 == 0) ? 0xF6 : 0xF7));
  }
  EXPECT_EQ(box.drawerEventCount, changes);
  EXPECT_EQ(sim::PortBoxDrawerEventAt(box, 7), nullptr);
  const sim::PortDrawerEvent* oldest = sim::PortBoxDrawerEventAt(box, 8);
  ASSERT_NE(oldest, nullptr);
  EXPECT_EQ(oldest->timeMs, 90u);
  const sim::PortDrawerEvent* newest = sim::PortBoxDrawerEventAt(box, changes - 1);
  ASSERT_NE(newest, nullptr);
  EXPECT_EQ(newest->timeMs, 10 * changes);
  EXPECT_EQ(sim::PortBoxDrawerLowMs(box, 10 * changes), 10 * changes / 2);
}

TEST_F(PortBoxTest, PinSampleReadsDataOutOnBit6WhenItsLatchIsHigh) {
  ASSERT_TRUE(Send(sim::kPortRequestCode, 0x15, 0x00, 0x40));
  ASSERT_TRUE(Send(sim::kPortRequestCode, 0x14, 0x00, 0x40));
  EXPECT_EQ(reply[1] & sim::kPinDataOut, sim::kPinDataOut) << "idle line pulled high";
  ASSERT_TRUE(Send(sim::kPortRequestCode, 0x15, 0x00, 0x00));
  ASSERT_TRUE(Send(sim::kPortRequestCode, 0x14, 0x00, 0x00));
  EXPECT_EQ(reply[1] & sim::kPinDataOut, 0) << "a 0 in the latch holds the line low";
  EXPECT_EQ(box.served[sim::kPortPinWrite], 2u);
  EXPECT_EQ(box.served[sim::kPortPinSample], 2u);
}

TEST_F(PortBoxTest, PinWritesAndSamplesReachTheEeprom) {
  PinDriver pins(box, BitFraming::kThreeWrites);
  box.eeprom.memory[10] = 0xC4;
  EXPECT_EQ(pins.ReadByte(10), 0xC4);
  pins.WriteEnable();
  pins.WriteByte(11, 0x3B);
  pins.WriteDisable();
  EXPECT_EQ(box.eeprom.memory[11], 0x3B);
  // Transfers per instruction as the driver sends them: read 56 (+8 samples), write 56,
  // write enable 33, write disable 32.
  EXPECT_EQ(box.served[sim::kPortPinWrite], 48u + 56u + 33u + 32u);
  EXPECT_EQ(box.served[sim::kPortPinSample], 8u);
  EXPECT_EQ(pins.failedRequests, 0);
  EXPECT_EQ(box.unknown, 0u);
}

TEST_F(PortBoxTest, PullOutMidWriteLeavesTheCellAndDisablesWrites) {
  PinDriver pins(box, BitFraming::kThreeWrites);
  pins.WriteEnable();
  // Select and 10 word bits (31 requests), then 6 data bits; out before the 7th data bit.
  sim::PortBoxPullOutBefore(box, 31 + 18 + 1);
  pins.WriteByte(12, 0x5A);
  EXPECT_FALSE(box.present);
  EXPECT_EQ(box.eeprom.memory[12], 0xFF);
  box.present = true;
  pins.WriteByte(12, 0x5A);
  EXPECT_EQ(box.eeprom.memory[12], 0xFF) << "power-up disabled writes";
  EXPECT_EQ(box.eeprom.refusedDisabled, 1u);
}

}  // namespace
}  // namespace models_test
