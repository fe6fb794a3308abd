// The session record and the routing of the exports: what the application gets with no
// box, with a bridge box, and across the numbering.
#include <string.h>

#include <gmock/gmock.h>

#include "library.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class SessionTest : public WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
  }
};

TEST_F(SessionTest, StraightAfterLoadEveryExportAnswersAsClosed) {
  Library lib;
  hostwin::ClearTrace();
  EXPECT_EQ(lib.KasseOpen(), 0);
  EXPECT_EQ(lib.KasseOpenP(nullptr), 0);
  EXPECT_EQ(lib.GetSerialNumber(), 0u);
  EXPECT_EQ(lib.GetMfgDate(), 0u);
  EXPECT_EQ(lib.GetLastOpenCnt(), 0u);
  EXPECT_EQ(lib.SetMfgDate(1), 0);
  EXPECT_EQ(lib.SetSerialNumber(1), 0);
  EXPECT_EQ(lib.SetLastOpenCnt(1), 0);
  EXPECT_EQ(lib.GetLocalOpenCnt(), 0u);
  EXPECT_EQ(lib.GetTotalOpenCnt(), 0u);
  char buf[16];
  memset(buf, 'x', sizeof buf);
  lib.GetFirmWareVersion(buf);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(16, 'x'));
  EXPECT_EQ(lib.ClosePosInterface(), 1);
  EXPECT_THAT(hostwin::TraceTexts("FT_"), IsEmpty());
  EXPECT_THAT(hostwin::Beeps(), IsEmpty());
}

TEST_F(SessionTest, GetSwitchWithNoBoxBeepsClearsTheFlagAndReturnsTheLastState) {
  Library lib;
  char flag = 7;
  EXPECT_EQ(lib.GetSwitch(&flag), 1);  // the last state starts at 1
  EXPECT_EQ(flag, 0);
  ASSERT_EQ(hostwin::Beeps().size(), 1u);
  EXPECT_EQ(hostwin::Beeps()[0].type, 0x30u);
  flag = 7;
  EXPECT_EQ(lib.GetSwitchP(nullptr, &flag), 1);
  EXPECT_EQ(flag, 0);
}

TEST_F(SessionTest, NullPointersFromTheApplicationAreHarmless) {
  hostwin::AddBridgeBox(0).switchReply = 0x7D;
  Library lib;
  EXPECT_EQ(lib.GetSwitch(nullptr), 1);  // closed: the last state, no write
  lib.GetFirmWareVersion(nullptr);
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  EXPECT_EQ(lib.GetSwitch(nullptr), 0);  // read from the box all the same
  EXPECT_EQ(lib.GetSwitchP(nullptr, nullptr), 0);
  hostwin::ClearTrace();
  lib.GetFirmWareVersion(nullptr);
  EXPECT_THAT(hostwin::TraceTexts("FT_"), IsEmpty());
  char flag = 9;
  EXPECT_EQ(lib.GetSwitch(&flag), 0);
  EXPECT_EQ(flag, 1);
}

TEST_F(SessionTest, SecondOpenOfTheSameBridgeNumberReturnsTheFirstResultWithoutACall) {
  hostwin::AddBridgeBox(0);
  Library lib;
  int32_t first = lib.OpenPosInterface(0);
  ASSERT_NE(first, -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  hostwin::ClearTrace();
  EXPECT_EQ(lib.OpenPosInterface(0), first);
  EXPECT_EQ(lib.OpenPosInterfaceV(), first);
  EXPECT_THAT(hostwin::Trace(), IsEmpty());
  EXPECT_EQ(lib.GetLocalOpenCnt(), 1u);
}

TEST_F(SessionTest, TheOpenResultIsTheHandleAsA32BitNumberAndNeverMinusOne) {
  hostwin::AddBridgeBox(0);
  Library lib;
  hostwin::SetNextBridgeHandle(0x12345678);
  EXPECT_EQ(lib.OpenPosInterface(0), 0x12345678);
  lib.ClosePosInterface();
  hostwin::SetNextBridgeHandle(0x00000001FFFFFFFFull);  // would truncate to -1
  int32_t result = lib.OpenPosInterface(0);
  EXPECT_NE(result, -1);
  EXPECT_EQ(result, 0x7FFFFFFF);
  EXPECT_EQ(lib.KasseOpen(), 1);
  // An FT_Open that says FT_OK but hands back a handle that means none (-1, or null) is a
  // failed open: tried again after 10 ms, and the box's mutex is not kept (every call's
  // check says so).
  for (uint64_t none : {~uint64_t{0}, uint64_t{0}}) {
    SCOPED_TRACE(none);
    lib.ClosePosInterface();
    hostwin::SetNextBridgeHandle(none);
    EXPECT_NE(lib.OpenPosInterface(0), -1);
    EXPECT_EQ(lib.KasseOpen(), 1);
  }
}

TEST_F(SessionTest, OpeningAnotherNumberClosesTheCurrentBoxFirst) {
  hostwin::AddBridgeBox(0);
  hostwin::AddBridgeBox(1);
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  ASSERT_NE(lib.OpenPosInterface(1), -1);
  EXPECT_EQ(hostwin::BridgeBoxAt(0).userArea[0], 1);  // box 0's opening written back
  EXPECT_EQ(lib.GetLocalOpenCnt(), 0u);
  ASSERT_EQ(lib.KasseOpen(), 1);
  EXPECT_EQ(hostwin::BridgeBoxAt(1).kicks, 1u);
}

TEST_F(SessionTest, AFailedOpenOfAnotherNumberLeavesNoBoxSelected) {
  hostwin::AddBridgeBox(0);
  hostwin::AddBridgeBox(1);
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  hostwin::RemoveBridgeBox(1);
  EXPECT_EQ(lib.OpenPosInterface(1), -1);
  EXPECT_EQ(lib.KasseOpen(), 0);
  EXPECT_EQ(lib.GetSerialNumber(), 0u);
  // Nothing left selected: unloading shows no warning.
  hostwin::ClearTrace();
  lib.Detach();
  EXPECT_THAT(hostwin::MessageBoxes(), IsEmpty());
}

TEST_F(SessionTest, NumbersAtAndAboveTheBridgeCountGoToTheDriverPort) {
  hostwin::AddBridgeBox(0);
  hostwin::AddBridgeBox(1);
  Library lib;
  ASSERT_EQ(lib.GetNumPos(), 0x0200u);
  hostwin::ClearTrace();
  EXPECT_EQ(lib.OpenPosInterface(2), -1);
  EXPECT_EQ(lib.OpenPosInterface(12), -1);
  EXPECT_EQ(lib.OpenPosInterface(255), -1);
  EXPECT_THAT(hostwin::TraceTexts("FT_"), IsEmpty());
}

TEST_F(SessionTest, CloseWritesBackAndDeselectsButKeepsTheCounts) {
  hostwin::AddBridgeBox(0).userArea[0] = 100;
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(lib.KasseOpen(), 1);
  EXPECT_EQ(lib.GetTotalOpenCnt(), 103u);
  EXPECT_EQ(lib.ClosePosInterfaceP(nullptr), 1);
  EXPECT_EQ(hostwin::BridgeBoxAt(0).userArea[0], 103);
  EXPECT_EQ(lib.GetLocalOpenCnt(), 3u);
  EXPECT_EQ(lib.GetTotalOpenCnt(), 103u);  // the closed session's openings count once
  hostwin::ClearTrace();
  EXPECT_EQ(lib.KasseClose(), 1);  // a bridge box was last: nothing to release
  EXPECT_EQ(lib.KasseCloseP(nullptr), 1);
  EXPECT_EQ(lib.KasseOpen(), 0);
  EXPECT_THAT(hostwin::TraceTexts("FT_"), IsEmpty());
}

TEST_F(SessionTest, GetSwitchKeepsTheLastReadingForWhenTheBoxIsClosed) {
  sim::BridgeBox& box = hostwin::AddBridgeBox(0);
  box.switchReply = 0x7D;
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  char flag = 5;
  EXPECT_EQ(lib.GetSwitch(&flag), 0);
  EXPECT_EQ(flag, 1);
  lib.ClosePosInterface();
  EXPECT_EQ(lib.GetSwitch(&flag), 0);  // the stored state, not the initial 1
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(hostwin::Beeps().size(), 1u);
}

TEST_F(SessionTest, PointerFormsAnswerAsTheirSisters) {
  sim::BridgeBox& box = hostwin::AddBridgeBox(0);
  const uint8_t record[16] = {0x10, 0, 0, 0, 0x20, 0, 0, 0, 0x30, 0, 0, 0, 0, 0, 0, 0};
  memcpy(box.userArea, record, sizeof record);
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  EXPECT_EQ(lib.GetLastOpenCntP(nullptr), 0x10u);
  EXPECT_EQ(lib.GetSerialNumberP(reinterpret_cast<void*>(1)), 0x20u);
  EXPECT_EQ(lib.GetMfgDateP(nullptr), 0x30u);
  EXPECT_EQ(lib.KasseOpenP(nullptr), 1);
  EXPECT_EQ(lib.GetLocalOpenCntP(nullptr), 1u);
  EXPECT_EQ(lib.GetTotalOpenCntP(nullptr), 0x11u);
  EXPECT_EQ(box.kicks, 1u);
}

TEST_F(SessionTest, EveryLoadStartsFromTheValuesAtLoad) {
  hostwin::AddBridgeBox(0);
  {
    Library lib;
    ASSERT_NE(lib.OpenPosInterface(0), -1);
    lib.KasseOpen();
    lib.ClosePosInterface();
  }
  hostwin::ClearTrace();
  Library again;
  EXPECT_EQ(again.GetLocalOpenCnt(), 0u);  // routed to the driver port at load, count 0
  EXPECT_EQ(again.KasseOpen(), 0);
}

}  // namespace
