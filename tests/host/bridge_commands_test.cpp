// Firmware commands on a bridge box: kick, switch query, version query.
#include <string.h>

#include <gmock/gmock.h>

#include "library.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class BridgeCommandsTest : public WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
    box_ = &hostwin::AddBridgeBox(0);
    lib_ = std::make_unique<Library>();
    ASSERT_NE(lib_->OpenPosInterface(0), -1);
    hostwin::ClearTrace();
  }
  sim::BridgeBox* box_ = nullptr;
  std::unique_ptr<Library> lib_;
};

TEST_F(BridgeCommandsTest, KickSendsThePulseCommandAndCountsIt) {
  EXPECT_EQ(lib_->KasseOpen(), 1);
  EXPECT_THAT(hostwin::TraceTexts("FT_"),
              ElementsAre("FT_Open(0)", "FT_Write(h0,1b 70 00 61 62)", "FT_Close(h0)"));
  EXPECT_EQ(box_->kicks, 1u);
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 1u);
  EXPECT_THAT(hostwin::Beeps(), IsEmpty());
}

TEST_F(BridgeCommandsTest, AShortKickBeepsOnceCountsNothingAndReportsFailure) {
  box_->faults.writeLimit = 4;
  EXPECT_EQ(lib_->KasseOpen(), 0);
  ASSERT_EQ(hostwin::Beeps().size(), 1u);
  EXPECT_EQ(hostwin::Beeps()[0].type, 0x30u);
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 0u);
  EXPECT_EQ(hostwin::OpenBridgeHandles(), 0);
  box_->faults.writeLimit = -1;
  box_->faults.writeFails = true;
  EXPECT_EQ(lib_->KasseOpen(), 0);
  EXPECT_EQ(hostwin::Beeps().size(), 2u);
}

TEST_F(BridgeCommandsTest, KickWithTheBoxUnpluggedFailsQuietlyAfterTwoAttempts) {
  hostwin::RemoveBridgeBox(0);
  EXPECT_EQ(lib_->KasseOpen(), 0);
  EXPECT_THAT(hostwin::TraceTexts(),
              ElementsAre("FT_Open(0)", "Sleep(10)", "FT_Open(0)", "FT_Close(-1)", "FT_Close(-1)"));
  EXPECT_THAT(hostwin::Beeps(), IsEmpty());
}

TEST_F(BridgeCommandsTest, SwitchQueryExchange) {
  box_->switchReply = 0x7D;
  char flag = 0;
  EXPECT_EQ(lib_->GetSwitch(&flag), 0);
  EXPECT_EQ(flag, 1);
  EXPECT_THAT(hostwin::TraceTexts("FT_"),
              ElementsAre("FT_Open(0)", "FT_GetStatus(h0)", "FT_Purge(h0,1)",
                          "FT_Write(h0,1b 76 00)", "FT_Read(h0,1)", "FT_Close(h0)"));
}

TEST_F(BridgeCommandsTest, SwitchRepliesMapToStates) {
  const struct {
    uint8_t reply;
    uint8_t state;
  } cases[] = {{0x7D, 0}, {0x00, 1}, {0xFD, 1}, {0x7C, 1}};
  for (const auto& c : cases) {
    box_->switchReply = c.reply;
    char flag = 0;
    EXPECT_EQ(lib_->GetSwitch(&flag), c.state) << std::hex << int(c.reply);
    EXPECT_EQ(flag, 1);
  }
}

TEST_F(BridgeCommandsTest, NoSwitchReplyKeepsTheLastKnownState) {
  box_->faults.noReply = true;
  char flag = 1;
  EXPECT_EQ(lib_->GetSwitch(&flag), 0);  // nothing heard since load
  EXPECT_EQ(flag, 0);
  box_->faults.noReply = false;
  box_->switchReply = 0x00;
  EXPECT_EQ(lib_->GetSwitch(&flag), 1);
  box_->faults.noReply = true;
  EXPECT_EQ(lib_->GetSwitch(&flag), 1);
  EXPECT_EQ(flag, 0);
  box_->faults.noReply = false;
  box_->faults.getStatusFails = true;
  box_->switchReply = 0x7D;
  hostwin::ClearTrace();
  EXPECT_EQ(lib_->GetSwitch(&flag), 1);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(hostwin::CountCalls("FT_Write"), 0u);
}

TEST_F(BridgeCommandsTest, BusyTransmitQueueTakesTheWaitingByteWithoutSending) {
  box_->faults.txQueueStuck = 3;
  box_->rx[0] = 0x7D;
  box_->rxCount = 1;
  char flag = 0;
  EXPECT_EQ(lib_->GetSwitch(&flag), 0);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(hostwin::CountCalls("FT_Purge"), 0u);
  EXPECT_EQ(hostwin::CountCalls("FT_Write"), 0u);
}

TEST_F(BridgeCommandsTest, VersionTextFollowsTheReply) {
  const struct {
    bool reply;
    uint8_t byte;
    const char* text;
  } cases[] = {{true, 0x50, "FTDI>=1.6"},
               {true, 0x02, "FTDI>=1.6"},
               {true, 0x01, "FTDI<1.6"},
               {false, 0x50, "FTDI<1.6"}};
  for (const auto& c : cases) {
    box_->versionReply = c.byte;
    box_->faults.noReply = !c.reply;
    char buf[16];
    memset(buf, '#', sizeof buf);
    hostwin::ClearTrace();
    lib_->GetFirmWareVersion(buf);
    EXPECT_STREQ(buf, c.text);
    size_t copied = strlen(c.text) + 1;
    EXPECT_EQ(std::string(buf + copied, sizeof buf - copied),
              std::string(sizeof buf - copied, '#'));
    EXPECT_THAT(hostwin::TraceTexts("FT_"),
                ElementsAre("FT_Open(0)", "FT_GetStatus(h0)", "FT_Purge(h0,1)",
                            "FT_Write(h0,1d 72 01)", "FT_Read(h0,1)", "FT_Close(h0)"));
  }
}

TEST_F(BridgeCommandsTest, AQueryWithoutReplyWaitsOutTheReadTimeout) {
  box_->faults.noReply = true;
  uint32_t start = hostwin::NowMs();
  char buf[10];
  lib_->GetFirmWareVersion(buf);
  EXPECT_EQ(hostwin::NowMs() - start, 50u);
}

TEST_F(BridgeCommandsTest, VersionQueryLeavesTheBufferAloneWhenTheBoxDoesNotOpen) {
  hostwin::RemoveBridgeBox(0);
  char buf[10];
  memset(buf, '#', sizeof buf);
  lib_->GetFirmWareVersion(buf);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(10, '#'));
}

}  // namespace
