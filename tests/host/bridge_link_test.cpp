// Opening and closing a bridge box: line settings, retry, user-area cache, write-back.
#include <string.h>

#include <gmock/gmock.h>

#include "library.h"

using ::testing::ElementsAre;

namespace {

class BridgeLinkTest : public WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
    box_ = &hostwin::AddBridgeBox(0);
  }
  sim::BridgeBox* box_ = nullptr;
};

TEST_F(BridgeLinkTest, OpenSetsUpTheLineInOrderAndClosesTheBoxAgain) {
  Library lib;
  hostwin::ClearTrace();
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  EXPECT_THAT(hostwin::TraceTexts("FT_"),
              ElementsAre("FT_Open(0)", "FT_SetBaudRate(h0,9600)", "FT_SetTimeouts(h0,50,0)",
                          "FT_SetDataCharacteristics(h0,8,2,0)", "FT_SetFlowControl(h0,0,0,0)",
                          "FT_EE_UASize(h0)", "FT_EE_UARead(h0,16)", "FT_Close(h0)"));
  EXPECT_EQ(box_->baud, 9600u);
  EXPECT_EQ(box_->stopBits, 2);
  EXPECT_FALSE(box_->open);
  EXPECT_EQ(hostwin::OpenBridgeHandles(), 0);
}

TEST_F(BridgeLinkTest, OpenRetriesOnceAfter10ms) {
  Library lib;
  box_->faults.openFailures = 1;
  hostwin::ClearTrace();
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  std::vector<std::string> calls = hostwin::TraceTexts();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls[0], "FT_Open(0)");
  EXPECT_EQ(calls[1], "Sleep(10)");
  EXPECT_EQ(calls[2], "FT_Open(0)");
  EXPECT_EQ(calls[3], "FT_SetBaudRate(h0,9600)");
}

TEST_F(BridgeLinkTest, OpenFailingTwiceClosesWithWhatTheHandleHolds) {
  Library lib;
  box_->faults.openFailures = 2;
  hostwin::ClearTrace();
  EXPECT_EQ(lib.OpenPosInterface(0), -1);
  EXPECT_THAT(hostwin::TraceTexts(),
              ElementsAre("FT_Open(0)", "Sleep(10)", "FT_Open(0)", "FT_Close(-1)", "FT_Close(-1)"));
  EXPECT_EQ(lib.KasseOpen(), 0);
}

// An FT_OK that hands back a handle meaning none (null, -1) opened nothing: the open is tried
// again after 10 ms, and the session is set up and read through the handle of that open.
TEST_F(BridgeLinkTest, AnOpenThatHandsBackNoHandleIsTriedAgain) {
  Library lib;
  for (uint64_t none : {uint64_t{0}, ~uint64_t{0}}) {
    SCOPED_TRACE(none);
    hostwin::SetNextBridgeHandle(none);
    hostwin::ClearTrace();
    ASSERT_NE(lib.OpenPosInterface(0), -1);
    EXPECT_EQ(hostwin::CountCalls("FT_Open"), 2u);
    EXPECT_THAT(hostwin::TraceTexts("Sleep"), ElementsAre("Sleep(10)"));
    EXPECT_THAT(hostwin::TraceTexts("FT_EE_UARead"), ElementsAre("FT_EE_UARead(h0,16)"));
    lib.ClosePosInterface();
  }
  EXPECT_EQ(hostwin::OpenBridgeHandles(), 0);
}

TEST_F(BridgeLinkTest, SuccessDependsOnTheOpenAlone) {
  box_->faults.uaSizeFails = true;
  box_->faults.uaReadFails = true;
  Library lib;
  EXPECT_EQ(lib.GetNumPos(), 0x0100u);
  EXPECT_NE(lib.OpenPosInterface(0), -1);
}

TEST_F(BridgeLinkTest, CloseWithNoKickWritesNothing) {
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  hostwin::ClearTrace();
  lib.ClosePosInterface();
  EXPECT_THAT(hostwin::TraceTexts("FT_"), ElementsAre("FT_Close(-1)"));
  EXPECT_EQ(box_->userAreaWrites, 0u);
}

TEST_F(BridgeLinkTest, CloseAddsTheSessionToTheCounterAsTheBoxHoldsItNow) {
  box_->userArea[0] = 100;
  box_->userArea[5] = 0x55;
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(lib.KasseOpen(), 1);
  // Meanwhile another process counted 50 openings and changed the serial number.
  box_->userArea[0] = 150;
  box_->userArea[5] = 0x66;
  hostwin::ClearTrace();
  lib.ClosePosInterface();
  EXPECT_THAT(hostwin::TraceTexts("FT_"),
              ElementsAre("FT_Open(0)", "FT_EE_UARead(h0,16)",
                          "FT_EE_UAWrite(h0,99 00 00 00 00 66 00 00 00 00 00 00 00 00 00 00)",
                          "FT_Close(h0)", "FT_Close(-1)"));
  EXPECT_EQ(box_->userArea[0], 153);
  EXPECT_EQ(box_->userArea[5], 0x66);
  EXPECT_EQ(lib.GetTotalOpenCnt(), 153u);
}

TEST_F(BridgeLinkTest, CloseFallsBackToTheCachedCounterWhenTheReadFails) {
  box_->userArea[0] = 100;
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  box_->faults.uaReadLimit = 15;
  lib.ClosePosInterface();
  EXPECT_EQ(box_->userArea[0], 102);
  EXPECT_EQ(box_->userAreaWrites, 1u);
}

TEST_F(BridgeLinkTest, CloseWithAnUnreachableBoxLosesNothingItCouldKeep) {
  box_->userArea[0] = 10;
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  hostwin::RemoveBridgeBox(0);
  EXPECT_EQ(lib.ClosePosInterface(), 1);
  EXPECT_EQ(lib.GetTotalOpenCnt(), 11u);
  EXPECT_EQ(hostwin::OpenBridgeHandles(), 0);
}

TEST_F(BridgeLinkTest, TotalWrapsAt32Bits) {
  memset(box_->userArea, 0xFF, 4);
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  EXPECT_EQ(lib.GetTotalOpenCnt(), 1u);
}

TEST_F(BridgeLinkTest, AShortReadAtOpenLeavesTheStoredCountUnknown) {
  box_->userArea[0] = 40;
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  lib.ClosePosInterface();
  box_->userArea[0] = 77;
  box_->faults.uaReadLimit = 8;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  // Neither the partial read nor the last session's image stands for the box now.
  EXPECT_EQ(lib.GetTotalOpenCnt(), 0u);
  ASSERT_EQ(lib.KasseOpen(), 1);
  EXPECT_EQ(lib.GetTotalOpenCnt(), 1u);
  lib.ClosePosInterface();  // its read fails too: nothing to write from
  EXPECT_EQ(box_->userArea[0], 77);
  EXPECT_EQ(box_->userAreaWrites, 0u);
}

}  // namespace
