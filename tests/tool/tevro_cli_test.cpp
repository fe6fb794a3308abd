// The tool's commands against simulated bridge and driver-port boxes: what the user reads,
// the exit code, and what the boxes saw. Each run loads the library afresh and unloads it;
// a box left selected would make the unload warn.
#include <string.h>

#include <gmock/gmock.h>

#include "tool_harness.h"
#include "world_setup.h"

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class CommandTest : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    AddStandardBoxes();
  }
  // Nothing left open: no box selected at unload, no device handle, no pulse timer.
  static void ExpectAllClosed() {
    EXPECT_FALSE(ToolRun::UnloadWarned());
    EXPECT_EQ(hostwin::OpenDeviceHandles(), 0);
    EXPECT_EQ(hostwin::OpenBridgeHandles(), 0);
    EXPECT_EQ(hostwin::ActiveTimers(), 0u);
  }
  // Device opens of driver-port index 'index' (the trace may be cleared after the load).
  static size_t PortOpens(int index) {
    size_t n = 0;
    std::string path = "\\\\.\\Drelvan_" + std::to_string(index);
    for (const hostwin::TraceEntry& e : hostwin::Trace()) {
      if (e.call == "CreateFileA" && e.args.compare(0, path.size(), path) == 0) ++n;
    }
    return n;
  }
};

// --- the harness's own detector ------------------------------------------------------

TEST_F(CommandTest, TheUnloadWarnsWhenABoxIsLeftSelected) {
  {
    Library lib;
    ASSERT_NE(lib.OpenPosInterface(1), -1);
  }
  EXPECT_TRUE(ToolRun::UnloadWarned());
}

// --- list ----------------------------------------------------------------------------

TEST_F(CommandTest, ListShowsEveryBoxWithVariantFirmwareAndRecord) {
  ToolRun run;
  EXPECT_EQ(run.Run({"list"}), 0);
  EXPECT_THAT(run.out(), HasSubstr("boxes found: 1 bridge, 2 driver-port\n"));
  EXPECT_THAT(run.out(), ContainsRegex("\n +0 +bridge +FTDI>=1\\.6 +12345 +20240115 +41\n"));
  EXPECT_THAT(run.out(), ContainsRegex("\n +1 +driver-port +Cy +777001 +20230301 +7\n"));
  EXPECT_THAT(run.out(), ContainsRegex("\n +2 +driver-port +Cy +777002 +16909060 +0\n"));
  EXPECT_EQ(run.err(), "");
  ExpectAllClosed();
  EXPECT_EQ(hostwin::BridgeBoxAt(0).userAreaWrites, 0u);
  EXPECT_EQ(PortRecord(0).openCount, kPort0Record.openCount);
}

TEST_F(CommandTest, ListWithNoBoxSaysSoAndFails) {
  hostwin::Reset();
  ToolRun run;
  EXPECT_EQ(run.Run({"list"}), 1);
  EXPECT_EQ(run.out(), "boxes found: 0 bridge, 0 driver-port\n");
  EXPECT_EQ(run.err(), "tevro: no box found\n");
  ExpectAllClosed();
}

TEST_F(CommandTest, ListReportsACountedBoxThatNoLongerAnswers) {
  ToolRun run;
  run.AfterLoad([] { hostwin::RemovePortBox(1); });
  EXPECT_EQ(run.Run({"list"}), 1);
  EXPECT_THAT(run.out(), ContainsRegex("\n +1 +driver-port +Cy +777001"));
  EXPECT_THAT(run.out(), ContainsRegex("\n +2 +driver-port +does not answer\n"));
  ExpectAllClosed();
}

TEST_F(CommandTest, ListStopsAtCtrlCAndClosesTheBoxItHasOpen) {
  ToolRun run;
  run.AfterLoad([&] {
    hostwin::ClearTrace();
    hostwin::OnDeviceRequest([&](int index, uint32_t, const uint8_t*) {
      if (index == 0) run.Interrupt();
      return true;
    });
  });
  EXPECT_EQ(run.Run({"list"}), 1);
  hostwin::OnDeviceRequest(nullptr);
  EXPECT_THAT(run.out(), ContainsRegex("\n +1 +driver-port +Cy +777001"));
  EXPECT_THAT(run.out(), Not(HasSubstr("777002")));
  EXPECT_EQ(run.err(), "tevro: interrupted while listing; box closed\n");
  EXPECT_EQ(PortOpens(1), 0u);
  ExpectAllClosed();
}

// --- kick ----------------------------------------------------------------------------

TEST_F(CommandTest, KickOnABridgeBoxCountsTheOpeningIntoTheBox) {
  ToolRun run;
  EXPECT_EQ(run.Run({"kick", "0"}), 0);
  EXPECT_THAT(run.out(), HasSubstr("box 0 (bridge): drawer kicked\n"));
  EXPECT_THAT(run.out(), HasSubstr("openings: 1 this session, 42 in all"));
  EXPECT_EQ(hostwin::BridgeBoxAt(0).kicks, 1u);
  EXPECT_EQ(BridgeRecord(0).openCount, 42u);
  EXPECT_EQ(BridgeRecord(0).serialNumber, kBridgeRecord.serialNumber);
  ExpectAllClosed();
}

TEST_F(CommandTest, KickOnADriverPortBoxDispatchesUntilTheTimerEndsThePulse) {
  ToolRun run;
  EXPECT_EQ(run.Run({"kick", "1"}), 0);
  EXPECT_THAT(run.out(), HasSubstr("box 1 (driver-port): drawer kicked\n"));
  EXPECT_THAT(run.out(), HasSubstr("openings: 1 this session, 8 in all"));
  const sim::PortBox& box = hostwin::PortBoxAt(0);
  EXPECT_EQ(box.drawerPulses, 1u);
  EXPECT_EQ(box.drawerLine, 1);
  const sim::PortDrawerEvent* on = sim::PortBoxDrawerEventAt(box, 0);
  const sim::PortDrawerEvent* off = sim::PortBoxDrawerEventAt(box, 1);
  ASSERT_NE(on, nullptr);
  ASSERT_NE(off, nullptr);
  // Ended by the timer during the dispatch, not by the close 100 ms after the kick.
  EXPECT_GE(off->timeMs - on->timeMs, 60u);
  EXPECT_LT(off->timeMs - on->timeMs, 70u);
  EXPECT_EQ(run.pumpedMs(), 100u);
  EXPECT_EQ(PortRecord(0).openCount, 8u);
  EXPECT_EQ(PortRecord(1).openCount, kPort1Record.openCount);
  ExpectAllClosed();
}

TEST_F(CommandTest, KickWithCloseAtOnceLeavesThePulseToTheClose) {
  ToolRun run;
  EXPECT_EQ(run.Run({"kick", "1", "--close-at-once"}), 0);
  EXPECT_THAT(run.out(), HasSubstr("openings: 1 this session, 8 in all"));
  EXPECT_EQ(run.pumpedMs(), 0u);
  const sim::PortBox& box = hostwin::PortBoxAt(0);
  const sim::PortDrawerEvent* on = sim::PortBoxDrawerEventAt(box, 0);
  const sim::PortDrawerEvent* off = sim::PortBoxDrawerEventAt(box, 1);
  ASSERT_NE(on, nullptr);
  ASSERT_NE(off, nullptr);
  EXPECT_GE(off->timeMs - on->timeMs, 60u);  // the close waited out the pulse
  EXPECT_LT(off->timeMs - on->timeMs, 70u);
  EXPECT_EQ(box.drawerLine, 1);
  EXPECT_EQ(PortRecord(0).openCount, 8u);
  ExpectAllClosed();
}

TEST_F(CommandTest, KickOfABoxThatIsNotThereFails) {
  ToolRun run;
  EXPECT_EQ(run.Run({"kick", "5"}), 1);
  EXPECT_THAT(run.err(), HasSubstr("tevro: box 5 could not be opened"));
  EXPECT_EQ(run.out(), "");
  EXPECT_EQ(hostwin::BridgeBoxAt(0).kicks, 0u);
  EXPECT_EQ(hostwin::PortBoxAt(0).drawerPulses, 0u);
  ExpectAllClosed();
}

TEST_F(CommandTest, KickTheBoxRefusesFails) {
  hostwin::BridgeBoxAt(0).faults.writeFails = true;
  ToolRun run;
  EXPECT_EQ(run.Run({"kick", "0"}), 1);
  EXPECT_EQ(run.err(), "tevro: box 0 (bridge) did not take the kick\n");
  EXPECT_EQ(BridgeRecord(0).openCount, kBridgeRecord.openCount);
  ExpectAllClosed();
}

TEST_F(CommandTest, KickWaitsUntilTheDriverPortDrawerIsClosedAgain) {
  ToolRun run;
  run.After(0, [] { SetPortDrawerOpen(0, true); });  // springs open at the kick
  run.After(1500, [] { SetPortDrawerOpen(0, false); });
  EXPECT_EQ(run.Run({"kick", "1", "--wait"}), 0);
  EXPECT_THAT(run.out(), HasSubstr("waiting up to 30.000 s for the drawer to close\n"));
  // The wait starts after the 100 ms of the pulse; reads every 50 ms.
  EXPECT_THAT(run.out(), HasSubstr("drawer closed again after 1.400 s\n"));
  EXPECT_EQ(run.pumpedMs(), 1500u);
  EXPECT_EQ(PortRecord(0).openCount, 8u);
  ExpectAllClosed();
}

TEST_F(CommandTest, KickWaitsUntilTheBridgeDrawerIsClosedAgain) {
  ToolRun run;
  run.After(0, [] { SetBridgeDrawerOpen(0, true); });
  run.After(730, [] { SetBridgeDrawerOpen(0, false); });
  EXPECT_EQ(run.Run({"kick", "0", "--wait", "--interval", "20"}), 0);
  EXPECT_THAT(run.out(), HasSubstr("drawer closed again after 0.640 s\n"));
  EXPECT_EQ(BridgeRecord(0).openCount, 42u);
  ExpectAllClosed();
}

TEST_F(CommandTest, KickWaitGivesUpAfterTheTimeout) {
  ToolRun run;
  run.After(0, [] { SetPortDrawerOpen(0, true); });
  EXPECT_EQ(run.Run({"kick", "1", "--wait", "--timeout", "1000"}), 1);
  EXPECT_EQ(run.err(), "tevro: the drawer was still open after 1.000 s\n");
  EXPECT_EQ(run.pumpedMs(), 1100u);
  EXPECT_EQ(PortRecord(0).openCount, 8u);  // the kick is counted all the same
  ExpectAllClosed();
}

TEST_F(CommandTest, KickWaitWithASwitchThatCannotBeReadFails) {
  ToolRun run;
  run.After(0, [] { hostwin::BridgeBoxAt(0).faults.noReply = true; });
  EXPECT_EQ(run.Run({"kick", "0", "--wait", "--timeout", "300"}), 1);
  // Each unanswered query costs the library's read time on top of the wait.
  EXPECT_THAT(run.err(),
              ContainsRegex("^tevro: the switch could not be read for 0\\.3[0-9][0-9] s\n$"));
  ExpectAllClosed();
}

TEST_F(CommandTest, KickWaitWhenTheDrawerNeverOpenedSaysSo) {
  ToolRun run;
  EXPECT_EQ(run.Run({"kick", "1", "--wait"}), 0);
  EXPECT_THAT(run.out(), HasSubstr("drawer reported closed (it was not seen open)\n"));
  EXPECT_EQ(run.pumpedMs(), 100u);
  ExpectAllClosed();
}

TEST_F(CommandTest, CtrlCWhileWaitingClosesTheBoxAndStoresTheOpening) {
  ToolRun run;
  run.After(0, [] { SetPortDrawerOpen(0, true); });
  run.InterruptAfter(400);
  EXPECT_EQ(run.Run({"kick", "1", "--wait"}), 1);
  EXPECT_EQ(run.err(), "tevro: interrupted while waiting for the drawer; box closed\n");
  EXPECT_EQ(run.pumpedMs(), 400u);
  EXPECT_EQ(PortRecord(0).openCount, 8u);
  ExpectAllClosed();
}

TEST_F(CommandTest, CtrlCDuringThePulseStillEndsItAtTheClose) {
  ToolRun run;
  run.InterruptAfter(20);
  EXPECT_EQ(run.Run({"kick", "1"}), 1);
  EXPECT_EQ(run.err(), "tevro: interrupted after the kick; box closed\n");
  const sim::PortBox& box = hostwin::PortBoxAt(0);
  EXPECT_EQ(box.drawerPulses, 1u);
  EXPECT_EQ(box.drawerLine, 1);  // released
  EXPECT_EQ(run.pumpedMs(), 20u);
  EXPECT_EQ(PortRecord(0).openCount, 8u);
  ExpectAllClosed();
}

// --- switch --------------------------------------------------------------------------

TEST_F(CommandTest, SwitchShowsTheStateAndWhatItMeans) {
  SetPortDrawerOpen(0, true);
  ToolRun port;
  EXPECT_EQ(port.Run({"switch", "1"}), 0);
  EXPECT_EQ(port.out(), "box 1 switch: 1 (drawer open)\n");
  ExpectAllClosed();
  ToolRun bridge;
  EXPECT_EQ(bridge.Run({"switch", "0"}), 0);
  EXPECT_EQ(bridge.out(), "box 0 switch: 0 (drawer closed)\n");
  ToolRun inverted;
  EXPECT_EQ(inverted.Run({"switch", "0", "--closed-state", "1"}), 0);
  EXPECT_EQ(inverted.out(), "box 0 switch: 0 (drawer open)\n");
  ExpectAllClosed();
}

TEST_F(CommandTest, SwitchThatCannotBeReadFails) {
  hostwin::BridgeBoxAt(0).faults.noReply = true;
  ToolRun run;
  EXPECT_EQ(run.Run({"switch", "0"}), 1);
  EXPECT_EQ(run.err(), "tevro: the switch of box 0 could not be read\n");
  EXPECT_EQ(run.out(), "");
  ExpectAllClosed();
}

TEST_F(CommandTest, WatchPrintsEachChangeWithItsTimeUntilTheTimeout) {
  ToolRun run;
  run.After(210, [] { SetPortDrawerOpen(0, true); });
  run.After(730, [] { SetPortDrawerOpen(0, false); });
  EXPECT_EQ(run.Run({"switch", "1", "--watch", "--timeout", "1000"}), 0);
  EXPECT_EQ(run.out(),
            "watching the switch of box 1 for 1.000 s (Ctrl+C stops)\n"
            "+0.000 s  0 (drawer closed)\n"
            "+0.250 s  1 (drawer open)\n"
            "+0.750 s  0 (drawer closed)\n"
            "watch ended (timeout) after 1.000 s, 2 changes\n");
  EXPECT_EQ(run.pumpedMs(), 1000u);
  ExpectAllClosed();
}

TEST_F(CommandTest, WatchWithoutTimeoutRunsUntilCtrlC) {
  ToolRun run;
  run.After(120, [] { SetBridgeDrawerOpen(0, true); });
  run.InterruptAfter(450);
  EXPECT_EQ(run.Run({"switch", "0", "--watch", "--interval", "100"}), 0);
  EXPECT_EQ(run.out(),
            "watching the switch of box 0 until Ctrl+C\n"
            "+0.000 s  0 (drawer closed)\n"
            "+0.200 s  1 (drawer open)\n"
            "watch ended (Ctrl+C) after 0.450 s, 1 change\n");
  EXPECT_EQ(run.pumpedMs(), 450u);
  ExpectAllClosed();
}

TEST_F(CommandTest, WatchReportsABoxThatStopsAnsweringAndFails) {
  ToolRun run;
  run.After(300, [] { hostwin::RemovePortBox(0); });
  run.After(420, [] { hostwin::ReplugPortBox(0); });
  EXPECT_EQ(run.Run({"switch", "1", "--watch", "--timeout", "600"}), 1);
  EXPECT_THAT(run.out(), HasSubstr("+0.300 s  no reading\n"
                                   "+0.450 s  0 (drawer closed)\n"));
  EXPECT_EQ(run.err(), "tevro: the switch of box 1 could not be read at times\n");
  ExpectAllClosed();
}

// --- identity ------------------------------------------------------------------------

struct IdentityCase {
  const char* box;
  IdentityValues record;
};

void PrintTo(const IdentityCase& c, std::ostream* os) { *os << "box " << c.box; }

class IdentityTest : public CommandTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(IdentityTest, PrintsEachFieldInDecimalAndHex) {
  const IdentityValues& r = GetParam().record;
  ToolRun run;
  EXPECT_EQ(run.Run({"identity", GetParam().box}), 0);
  char hex[3][11];
  snprintf(hex[0], sizeof hex[0], "0x%08X", r.serialNumber);
  snprintf(hex[1], sizeof hex[1], "0x%08X", r.mfgDate);
  snprintf(hex[2], sizeof hex[2], "0x%08X", r.openCount);
  EXPECT_EQ(run.out(), std::string("box ") + GetParam().box + " identity record\n" +
                           "  serial number         " + std::to_string(r.serialNumber) + " (" +
                           hex[0] + ")\n" + "  manufacturing date    " + std::to_string(r.mfgDate) +
                           " (" + hex[1] + ")\n" + "  stored opening count  " +
                           std::to_string(r.openCount) + " (" + hex[2] + ")\n");
  ExpectAllClosed();
}

INSTANTIATE_TEST_SUITE_P(EachVariant, IdentityTest,
                         ::testing::Values(IdentityCase{"0", kBridgeRecord},
                                           IdentityCase{"1", kPort0Record},
                                           IdentityCase{"2", kPort1Record}));

TEST_F(CommandTest, IdentityOfABlankRecordIsZeroWhenTheBoxAnswers) {
  hostwin::Reset();
  AddBridgeWithRecord(0, IdentityValues{0, 0, 0});
  ToolRun run;
  EXPECT_EQ(run.Run({"identity", "0"}), 0);
  EXPECT_THAT(run.out(), HasSubstr("  serial number         0 (0x00000000)\n"));
}

TEST_F(CommandTest, IdentityFailsWhenTheBoxStopsAnsweringDuringTheRead) {
  ToolRun run;
  // Past the open and the serial number's 224 transfers: the date read fails.
  run.AfterLoad([] { sim::PortBoxFailFrom(hostwin::PortBoxAt(0), 250); });
  EXPECT_EQ(run.Run({"identity", "1"}), 1);
  EXPECT_THAT(run.err(), HasSubstr("the identity record of box 1 could not be read"));
  EXPECT_EQ(run.out(), "");
  ExpectAllClosed();
}

// --- write ---------------------------------------------------------------------------

struct WriteCase {
  std::vector<std::string> args;
  bool bridge;
  int index;
  IdentityValues before;
  IdentityValues after;
  const char* line;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
  for (const std::string& a : c.args) *os << '[' << a << ']';
}

class WriteTest : public CommandTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteTest, StoresTheFieldAndNothingElse) {
  const WriteCase& c = GetParam();
  ToolRun run;
  EXPECT_EQ(run.Run(c.args), 0);
  EXPECT_EQ(run.out(), c.line);
  IdentityValues now = c.bridge ? BridgeRecord(c.index) : PortRecord(c.index);
  EXPECT_EQ(now.serialNumber, c.after.serialNumber);
  EXPECT_EQ(now.mfgDate, c.after.mfgDate);
  EXPECT_EQ(now.openCount, c.after.openCount);
  ExpectAllClosed();
}

INSTANTIATE_TEST_SUITE_P(
    EachFieldAndVariant, WriteTest,
    ::testing::Values(
        WriteCase{{"write", "0", "serial", "54321"},
                  true,
                  0,
                  kBridgeRecord,
                  {41, 54321, 20240115},
                  "box 0 serial number: 12345 (0x00003039) -> 54321 (0x0000D431)\n"},
        WriteCase{{"write", "0", "date", "0xA1B2C3D4"},
                  true,
                  0,
                  kBridgeRecord,
                  {41, 12345, 0xA1B2C3D4},
                  "box 0 manufacturing date: 20240115 (0x0134D6F3) -> 2712847316 (0xA1B2C3D4)\n"},
        WriteCase{{"write", "1", "serial", "4294967295"},
                  false,
                  0,
                  kPort0Record,
                  {7, 0xFFFFFFFF, 20230301},
                  "box 1 serial number: 777001 (0x000BDB29) -> 4294967295 (0xFFFFFFFF)\n"},
        WriteCase{{"write", "1", "count", "0x10"},
                  false,
                  0,
                  kPort0Record,
                  {16, 777001, 20230301},
                  "box 1 stored opening count: 7 (0x00000007) -> 16 (0x00000010)\n"}));

TEST_F(CommandTest, WriteTheBoxRefusesFails) {
  hostwin::BridgeBoxAt(0).faults.uaWriteFails = true;
  ToolRun run;
  EXPECT_EQ(run.Run({"write", "0", "serial", "54321"}), 1);
  EXPECT_EQ(run.err(), "tevro: writing the serial number of box 0 failed\n");
  EXPECT_EQ(BridgeRecord(0).serialNumber, kBridgeRecord.serialNumber);
  ExpectAllClosed();
}

// A part that never finishes programming: the library reports the write failed. A write
// the box does not keep (another program puts the old bytes back before the read-back) is
// caught by the tool's read-back.
TEST_F(CommandTest, WriteThatDoesNotStickIsCaughtByTheReadBack) {
  hostwin::PortBoxAt(0).eeprom.neverReady = true;
  {
    ToolRun run;
    EXPECT_EQ(run.Run({"write", "1", "serial", "54321"}), 1);
    EXPECT_EQ(run.err(), "tevro: writing the serial number of box 1 failed\n");
  }
  hostwin::PortBoxAt(0).eeprom.neverReady = false;
  uint8_t* serial = hostwin::PortBoxAt(0).eeprom.memory + 4;
  uint8_t old[4];
  memcpy(old, serial, sizeof old);
  hostwin::OnDeviceRequest([&](int, uint32_t, const uint8_t* cmd) {
    if (cmd[0] == 0x14 && cmd[1] == 0x14) memcpy(serial, old, sizeof old);  // every device open
    return true;
  });
  ToolRun run;
  EXPECT_EQ(run.Run({"write", "1", "serial", "54321"}), 1);
  hostwin::OnDeviceRequest(nullptr);
  EXPECT_THAT(run.err(), HasSubstr("tevro: box 1 reads back serial number "));
  EXPECT_THAT(run.err(), HasSubstr(", not the 54321 (0x0000D431) written\n"));
  EXPECT_EQ(PortRecord(0).serialNumber, kPort0Record.serialNumber);
  ExpectAllClosed();
}

// --- check ---------------------------------------------------------------------------

TEST_F(CommandTest, CheckOfAHealthyBridgeBox) {
  ToolRun run;
  EXPECT_EQ(run.Run({"check", "0"}), 0);
  EXPECT_EQ(run.out(),
            "health check of box 0\n"
            "  open             ok       box 0\n"
            "  firmware         ok       FTDI>=1.6 (bridge box)\n"
            "  switch           ok       0 (drawer closed)\n"
            "  identity record  ok       serial 12345, date 20240115, openings 41\n"
            "  close            ok\n"
            "  trace            off\n"
            "result: ok\n");
  ExpectAllClosed();
}

TEST_F(CommandTest, CheckOfAHealthyDriverPortBoxWithABlankCounter) {
  ToolRun run;
  EXPECT_EQ(run.Run({"check", "2"}), 0);
  EXPECT_THAT(run.out(), HasSubstr("  firmware         ok       Cy (driver-port box)\n"));
  EXPECT_THAT(run.out(),
              HasSubstr("  identity record  ok       serial 777002, date 16909060, openings 0\n"));
  EXPECT_THAT(run.out(), HasSubstr("result: ok\n"));
  ExpectAllClosed();
}

TEST_F(CommandTest, CheckOfABoxThatIsNotThereSkipsTheRest) {
  ToolRun run;
  EXPECT_EQ(run.Run({"check", "4"}), 1);
  EXPECT_EQ(run.out(),
            "health check of box 4\n"
            "  open             failed   box does not answer\n"
            "  firmware         skipped\n"
            "  switch           skipped\n"
            "  identity record  skipped\n"
            "  close            ok\n"
            "  trace            off\n"
            "result: 1 step failed\n");
  ExpectAllClosed();
}

TEST_F(CommandTest, CheckOfABridgeBoxWhoseFirmwareIsSilent) {
  hostwin::BridgeBoxAt(0).faults.noReply = true;
  ToolRun run;
  EXPECT_EQ(run.Run({"check", "0"}), 1);
  // The library takes an unanswered version query for the older firmware.
  EXPECT_THAT(run.out(), HasSubstr("  firmware         ok       FTDI<1.6 (bridge box)\n"));
  EXPECT_THAT(run.out(), HasSubstr("  switch           failed   no reading\n"));
  // The record lives in the bridge chip's memory, not behind the firmware.
  EXPECT_THAT(run.out(), HasSubstr("  identity record  ok       serial 12345"));
  EXPECT_THAT(run.out(), HasSubstr("result: 1 step failed\n"));
  ExpectAllClosed();
}

TEST_F(CommandTest, CheckOfABoxPulledOutRightAfterTheOpen) {
  size_t openCalls = 0;
  {
    Library lib;
    size_t before = hostwin::FtCalls();
    ASSERT_NE(lib.OpenPosInterface(0), -1);
    openCalls = hostwin::FtCalls() - before;
    lib.ClosePosInterface();
  }
  hostwin::Reset();
  AddStandardBoxes();
  ToolRun run;
  run.AfterLoad([&] { hostwin::FailFtCall(openCalls + 1, hostwin::FtFault::kUnplug); });
  EXPECT_EQ(run.Run({"check", "0"}), 1);
  EXPECT_EQ(run.out(),
            "health check of box 0\n"
            "  open             ok       box 0\n"
            "  firmware         failed   no answer\n"
            "  switch           failed   no reading\n"
            "  identity record  failed   a field read 0 and the box did not answer after\n"
            "  close            ok\n"
            "  trace            off\n"
            "result: 3 steps failed\n");
  ExpectAllClosed();
}

TEST_F(CommandTest, CheckInterruptedSkipsTheRestAndStillCloses) {
  ToolRun run;
  run.AfterLoad([&] {
    hostwin::OnDeviceRequest([&](int, uint32_t, const uint8_t*) {
      run.Interrupt();
      return true;
    });
  });
  EXPECT_EQ(run.Run({"check", "1"}), 1);
  hostwin::OnDeviceRequest(nullptr);
  EXPECT_THAT(run.out(), HasSubstr("  open             ok       box 1\n"
                                   "  firmware         skipped  interrupted\n"
                                   "  switch           skipped  interrupted\n"
                                   "  identity record  skipped  interrupted\n"
                                   "  close            ok\n"));
  EXPECT_EQ(run.err(), "tevro: interrupted during the health check; box closed\n");
  ExpectAllClosed();
}

}  // namespace
