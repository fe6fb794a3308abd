// The drawer pulse, its release, the switch, and the opening counts on a driver-port box.
#include <gmock/gmock.h>

#include <memory>

#include "port_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class DrawerTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    hostwin::AddPortBox(0, 0xF3);
    PutEeprom(0, 0, {100, 0, 0, 0});
    lib_ = std::make_unique<Library>();
    ASSERT_NE(lib_->OpenPosInterface(0), -1);
    hostwin::ClearTrace();
  }
  // Makes the kick's own status read (the second of the operation) see this status.
  void StatusAtSecondRead(uint8_t status) {
    auto reads = std::make_shared<int>(0);
    hostwin::OnDeviceRequest([reads, status](int, uint32_t, const uint8_t* cmd) {
      if (cmd[0] == 0x14 && cmd[1] == 0x14 && ++*reads == 2) hostwin::PortBoxAt(0).port = status;
      return true;
    });
  }
  // What another caller's library does as it writes the counter: the box's count of counter
  // writes (bits 8-31 of the shared record's second word) moves on.
  void AnotherCallerWritesTheCounter(uint32_t value) {
    PutEeprom(0, 0,
              {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
               static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
    uint8_t* record = MachineRecord(0);
    ASSERT_NE(record, nullptr);
    reinterpret_cast<uint32_t*>(record)[1] += 0x100;
  }
  std::unique_ptr<Library> lib_;
};

TEST_F(DrawerTest, KickWritesThePulseAndTheTimerReleasesItAfter60ms) {
  EXPECT_EQ(lib_->KasseOpen(), 1);
  EXPECT_THAT(DrawerWrites(), ElementsAre("17 2f f6 00"));
  EXPECT_EQ(hostwin::PoolTimersArmed(), 1u);  // the library's own, not the caller's thread's
  EXPECT_EQ(Box(0).drawerLine, 0);
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 1u);
  EXPECT_EQ(hostwin::OpenDeviceHandles(), 0);  // KasseOpen did not wait for the pulse

  hostwin::AdvanceMs(59);  // time passes; nothing is dispatched, nothing called
  EXPECT_EQ(Box(0).drawerLine, 0);
  hostwin::AdvanceMs(1);
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_THAT(DrawerWrites(), ElementsAre("17 2f f6 00", "17 2f f7 00"));
  EXPECT_EQ(hostwin::ActiveTimers(), 0u);
  EXPECT_EQ(PortBoxDrawerLowMs(Box(0), hostwin::NowMs()), 60u);
}

// The library's timer expires once a pulse, when its 60 ms are up; a release that does not
// reach the box is tried again every 5 ms until it lands, and then the timer stops. A pulse
// that falls due while this process works on the box's EEPROM is released between two
// requests, and a release that fails there too is tried every 5 ms, not at every request.
TEST_F(DrawerTest, TheTimerExpiresOnceAPulseAndAFailedReleaseIsRetriedEvery5ms) {
  // Time passes 100 us at a time with the pool held, then the expiries due are let run.
  const auto expiriesOver = [](uint32_t ms) {
    std::vector<uint64_t> at;
    for (uint32_t step = 0; step < 10 * ms; ++step) {
      hostwin::HoldPoolTimers(true);
      hostwin::AdvanceUs(100);
      hostwin::HoldPoolTimers(false);
      for (int ran = hostwin::RunDuePoolTimers(); ran > 0; --ran) at.push_back(hostwin::NowUs());
    }
    return at;
  };
  uint64_t kicked = hostwin::NowUs();
  ASSERT_EQ(lib_->KasseOpen(), 1);
  EXPECT_THAT(expiriesOver(100), ElementsAre(kicked + 60000));
  EXPECT_EQ(Box(0).drawerLine, 1);

  kicked = hostwin::NowUs();
  ASSERT_EQ(lib_->KasseOpen(), 1);
  // The first try's own status read fails (no release is made up without it), the release
  // writes of the next two fail.
  auto reads = std::make_shared<int>(0), writes = std::make_shared<int>(0);
  hostwin::OnDeviceRequest([reads, writes](int, uint32_t, const uint8_t* cmd) {
    if (cmd[0] == 0x14 && cmd[1] == 0x14) return ++*reads != 2;
    return !(cmd[0] == 0x17 && (cmd[2] & 1) != 0 && ++*writes <= 2);
  });
  EXPECT_THAT(expiriesOver(100),
              ElementsAre(kicked + 60000, kicked + 65000, kicked + 70000, kicked + 75000));
  EXPECT_EQ(*writes, 3);
  EXPECT_EQ(hostwin::ActiveTimers(), 0u);

  ASSERT_EQ(lib_->KasseOpen(), 1);
  auto tries = std::make_shared<std::vector<uint64_t>>();
  hostwin::OnDeviceRequest([tries](int, uint32_t, const uint8_t* cmd) {
    hostwin::AdvanceUs(1000);  // a millisecond a request: the pulse falls due inside the read
    if (cmd[0] != 0x17 || (cmd[2] & 1) == 0) return true;
    tries->push_back(hostwin::NowUs());
    return false;
  });
  lib_->GetSerialNumber();
  ASSERT_GE(tries->size(), 2u);
  for (size_t i = 1; i < tries->size(); ++i) EXPECT_GE((*tries)[i] - (*tries)[i - 1], 5000u);
  hostwin::OnDeviceRequest(nullptr);
  hostwin::AdvanceMs(10);
  EXPECT_EQ(Box(0).drawerLine, 1);
}

TEST_F(DrawerTest, ASecondKickWhileThePulseIsPendingIsRefusedWithoutDeviceAccess) {
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(30);
  hostwin::ClearTrace();
  EXPECT_EQ(lib_->KasseOpen(), 0);
  EXPECT_THAT(hostwin::Trace(), IsEmpty());
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 1u);
}

TEST_F(DrawerTest, KasseCloseReleasesAtOnceAndNoReleaseFollowsFromTheTimer) {
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(10);
  EXPECT_EQ(lib_->KasseClose(), 1);
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_EQ(hostwin::ActiveTimers(), 0u);  // the timer is stopped at once
  hostwin::RunFor(100);
  EXPECT_THAT(DrawerWrites(), ElementsAre("17 2f f6 00", "17 2f f7 00"));
  EXPECT_EQ(hostwin::ActiveTimers(), 0u);
  // With no pulse pending the release is written all the same.
  EXPECT_EQ(lib_->KasseCloseP(nullptr), 1);
  EXPECT_EQ(DrawerWrites().size(), 3u);
}

TEST_F(DrawerTest, AnInvalidStatusReadByTheKickStillPulsesAndCountsButReportsFailure) {
  StatusAtSecondRead(0xEB);
  EXPECT_EQ(lib_->KasseOpen(), 0);
  EXPECT_THAT(DrawerWrites(), ElementsAre("17 2f ee 00"));
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 1u);
  EXPECT_EQ(hostwin::ActiveTimers(), 1u);
}

TEST_F(DrawerTest, KickOnAnUnreachableBoxCountsNothing) {
  hostwin::RemovePortBox(0);
  EXPECT_EQ(lib_->KasseOpen(), 0);
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 0u);
  EXPECT_EQ(hostwin::CountCalls("SetTimer"), 0u);
}

TEST_F(DrawerTest, KickWhoseTimerCannotBeSetEndsThePulseItself) {
  hostwin::FailTimerCreation(1);
  uint32_t start = hostwin::NowMs();
  EXPECT_EQ(lib_->KasseOpen(), 1);
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_THAT(DrawerWrites(), ElementsAre("17 2f f6 00", "17 2f f7 00"));
  EXPECT_EQ(hostwin::NowMs() - start, 60u);
  EXPECT_EQ(hostwin::CountCalls("CreateFileA"), 1u);
  EXPECT_EQ(lib_->KasseOpen(), 1);  // nothing left pending
}

TEST_F(DrawerTest, ACallAfterThePulseTimeEndsThePulseWhenThePoolIsLate) {
  hostwin::HoldPoolTimers(true);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::AdvanceMs(59);
  lib_->GetNumPos();
  EXPECT_EQ(Box(0).drawerLine, 0);
  hostwin::AdvanceMs(1);
  lib_->GetNumPos();
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_EQ(lib_->KasseOpen(), 1);  // the next kick is not refused
  hostwin::HoldPoolTimers(false);
  hostwin::AdvanceMs(60);  // the late callback finds the first pulse over; the second ends
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_EQ(hostwin::ActiveTimers(), 0u);
  EXPECT_EQ(Box(0).drawerPulses, 2u);
}

TEST_F(DrawerTest, CloseAndReopenReleaseAPendingPulse) {
  ASSERT_EQ(lib_->KasseOpen(), 1);
  lib_->ClosePosInterface();
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_EQ(hostwin::ActiveTimers(), 0u);
  EXPECT_EQ(DrawerWrites()[1], "17 2f f7 00");

  ASSERT_NE(lib_->OpenPosInterface(0), -1);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  ASSERT_NE(lib_->OpenPosInterface(0), -1);  // the same number again
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_EQ(hostwin::ActiveTimers(), 0u);
}

TEST_F(DrawerTest, UnloadWithAPendingPulseReleasesAndLeavesNoTimer) {
  ASSERT_EQ(lib_->KasseOpen(), 1);
  lib_.reset();
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_EQ(hostwin::ActiveTimers(), 0u);
  EXPECT_EQ(EepromField(0, 0), 101u);
}

TEST_F(DrawerTest, SwitchReadsBit2OfAValidStatus) {
  const struct {
    uint8_t status;
    bool switchLow;
    uint8_t state;
    char flag;
  } cases[] = {{0xF3, false, 1, 1}, {0xF7, false, 0, 1}, {0xF7, true, 1, 1}, {0xF0, false, 1, 1}};
  for (const auto& c : cases) {
    Box(0).port = c.status;
    Box(0).switchLow = c.switchLow;
    char flag = 9;
    EXPECT_EQ(lib_->GetSwitch(&flag), c.state) << std::hex << int(c.status);
    EXPECT_EQ(flag, c.flag);
  }
  StatusAtSecondRead(0xEB);
  Box(0).port = 0xF3;
  hostwin::ClearTrace();
  char flag = 9;
  EXPECT_EQ(lib_->GetSwitch(&flag), 0);
  EXPECT_EQ(flag, 0);
  hostwin::OnDeviceRequest(nullptr);
  hostwin::RemovePortBox(0);
  flag = 9;
  EXPECT_EQ(lib_->GetSwitch(&flag), 0);
  EXPECT_EQ(flag, 0);
}

TEST_F(DrawerTest, CountsFollowTheKicksAndTheCloseWritesTheSumBack) {
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 100u);
  for (uint32_t i = 1; i <= 3; ++i) {
    ASSERT_EQ(lib_->KasseOpen(), 1);
    EXPECT_EQ(lib_->GetTotalOpenCnt(), 100u + i);
    hostwin::RunFor(60);
  }
  size_t beeps = hostwin::Beeps().size();
  lib_->ClosePosInterface();
  EXPECT_EQ(EepromField(0, 0), 103u);
  EXPECT_EQ(hostwin::Beeps().size(), beeps + 1);
  EXPECT_EQ(hostwin::Beeps().back().type, 0u);
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 3u);
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 103u);  // counted once after the close
}

TEST_F(DrawerTest, ASessionWithoutAKickWritesNothingOnClose) {
  uint32_t programmed = Box(0).eeprom.bytesProgrammed;
  lib_->ClosePosInterface();
  EXPECT_EQ(Box(0).eeprom.bytesProgrammed, programmed);
  EXPECT_THAT(hostwin::Beeps(), IsEmpty());
}

TEST_F(DrawerTest, TheCloseAddsToTheCounterAsTheBoxHoldsItNow) {
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(60);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(60);
  PutEeprom(0, 0, {150, 0, 0, 0});  // another process's session closed meanwhile
  lib_->ClosePosInterface();
  EXPECT_EQ(EepromField(0, 0), 152u);
}

// The close reads what it needs to know the counter the box holds (the low byte alone
// while it is the one the session read, no caller wrote the counter since, and the
// openings do not carry out of it), adds the openings, writes only the bytes that differ,
// and reports the total it wrote. Its write moves the box's count of counter writes.
TEST_F(DrawerTest, TheCloseReadsAndWritesOnlyWhatItNeeds) {
  const struct {
    const char* name;
    uint32_t atOpen;     // the counter when the session opened
    uint32_t meanwhile;  // what another caller wrote before the close (atOpen: nothing)
    uint32_t kicks;
    uint32_t bytesRead;   // by the close's one read instruction
    uint32_t programmed;  // bytes written
    uint32_t after;       // the counter after the close, and the total reported
  } cases[] = {
      {"nobody else, no carry", 100, 100, 1, 1, 1, 101},
      {"another caller's openings in the low byte", 100, 150, 2, 4, 1, 152},
      {"the low byte filled to 0xFF, no carry", 254, 254, 1, 1, 1, 255},
      {"a carry out of the low byte", 255, 255, 1, 4, 2, 256},
      {"another caller's 256 openings", 100, 356, 1, 4, 1, 357},
      {"another caller's write of the same low byte", 100, 0x07000064, 1, 4, 1, 0x07000065},
      {"high bytes set: only the low byte changes", 0x01020304, 0x01020304, 3, 1, 1, 0x01020307},
  };
  lib_.reset();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    hostwin::Reset();
    hostwin::AddPortBox(0, 0xF3);
    PutEeprom(0, 0,
              {static_cast<uint8_t>(c.atOpen), static_cast<uint8_t>(c.atOpen >> 8),
               static_cast<uint8_t>(c.atOpen >> 16), static_cast<uint8_t>(c.atOpen >> 24)});
    auto lib = std::make_unique<Library>();
    ASSERT_NE(lib->OpenPosInterface(0), -1);
    for (uint32_t k = 0; k < c.kicks; ++k) {
      ASSERT_EQ(lib->KasseOpen(), 1);
      hostwin::AdvanceMs(60);
    }
    if (c.meanwhile != c.atOpen) AnotherCallerWritesTheCounter(c.meanwhile);
    const uint32_t reads = Box(0).eeprom.executed[sim::kEepromRead];
    const uint32_t programmed = Box(0).eeprom.bytesProgrammed;
    const size_t samples = Box(0).served[sim::kPortPinSample];
    const uint32_t counterWrites = CounterWrites(0);
    lib->ClosePosInterface();
    EXPECT_EQ(Box(0).eeprom.executed[sim::kEepromRead], reads + 1);
    EXPECT_EQ(CounterWrites(0), counterWrites + 1);  // what the other callers' libraries read
    // Eight samples a byte read, one look at the part's readiness after each byte written.
    EXPECT_EQ(Box(0).served[sim::kPortPinSample] - samples, 8 * c.bytesRead + c.programmed);
    EXPECT_EQ(Box(0).eeprom.bytesProgrammed - programmed, c.programmed);
    EXPECT_EQ(EepromField(0, 0), c.after);
    EXPECT_EQ(lib->GetTotalOpenCnt(), c.after);
    lib.reset();
  }
}

// Another caller wrote the counter; this session's close fails from each of its requests
// on, and a later call finishes the write: the session's opening reaches the box exactly
// once, and a copy the box shows stale is never written back.
TEST_F(DrawerTest, ACloseCutShortAfterAnotherCallersWriteCountsItsOpeningOnce) {
  lib_.reset();
  for (uint32_t failFrom = 1; failFrom <= 210; ++failFrom) {
    SCOPED_TRACE("requests of the close fail from " + std::to_string(failFrom));
    hostwin::Reset();
    hostwin::AddPortBox(0, 0xF3);
    PutEeprom(0, 0, {100, 0, 0, 0});
    auto lib = std::make_unique<Library>();
    ASSERT_NE(lib->OpenPosInterface(0), -1);
    ASSERT_EQ(lib->KasseOpen(), 1);
    hostwin::AdvanceMs(60);
    AnotherCallerWritesTheCounter(failFrom % 2 == 0 ? 356 : 150);
    auto requests = std::make_shared<uint32_t>(0);
    hostwin::OnDeviceRequest(
        [requests, failFrom](int, uint32_t, const uint8_t*) { return ++*requests < failFrom; });
    lib->ClosePosInterface();
    hostwin::OnDeviceRequest(nullptr);
    hostwin::AdvanceMs(1000);
    lib->GetLocalOpenCnt();  // any call tries the owed openings again
    EXPECT_EQ(EepromField(0, 0), failFrom % 2 == 0 ? 357u : 151u);
    lib.reset();
  }
}

// This session's close is cut short inside its write, and before the write is tried again
// another caller reads the counter and adds an opening of its own. The box's count of
// counter writes shows that write, so the values no longer tell whether this session's
// landed: its opening is added to what the box holds, never lost.
TEST_F(DrawerTest, AnotherCallersWriteAfterACloseCutShortLosesNoOpening) {
  lib_.reset();
  uint32_t countedTwice = 0;
  for (uint32_t failFrom = 2; failFrom <= 140; ++failFrom) {
    SCOPED_TRACE("requests of the close fail from " + std::to_string(failFrom));
    hostwin::Reset();
    hostwin::AddPortBox(0, 0xF3);
    PutEeprom(0, 0, {100, 0, 0, 0});
    auto lib = std::make_unique<Library>();
    ASSERT_NE(lib->OpenPosInterface(0), -1);
    ASSERT_EQ(lib->KasseOpen(), 1);
    hostwin::AdvanceMs(60);
    auto requests = std::make_shared<uint32_t>(0);
    hostwin::OnDeviceRequest(
        [requests, failFrom](int, uint32_t, const uint8_t*) { return ++*requests < failFrom; });
    lib->ClosePosInterface();
    hostwin::OnDeviceRequest(nullptr);
    const uint32_t left = EepromField(0, 0);
    AnotherCallerWritesTheCounter(left + 1);
    hostwin::AdvanceMs(1000);
    lib->GetLocalOpenCnt();
    // Only the low byte changes (100 to 101): the write landed or it did not. Not landed, the
    // opening is added once. Landed and known to have (the part showed ready after it, the
    // failure came later), nothing is owed. Landed but left in doubt, it is counted twice,
    // which the values cannot tell from the first case (the audit counter errs on the side of
    // an opening).
    ASSERT_TRUE(left == 100 || left == 101) << left;
    const uint32_t now = EepromField(0, 0);
    if (left == 100) {
      EXPECT_EQ(now, 102u);
    } else {
      EXPECT_TRUE(now == 102u || now == 103u) << now;
      countedTwice += now == 103u ? 1 : 0;
    }
    lib.reset();
  }
  EXPECT_GT(countedTwice, 0u);  // the residual case was met, and is what the rule says
}

// ... unless another caller wrote the counter since the session saw it: the copy is stale,
// and the opening stays owed until the counter can be read.
TEST_F(DrawerTest, TheCloseFallsBackToTheCachedCounterWhenItsReadFails) {
  // The first pin sample of the close, in its read of the counter, fails.
  auto failed = std::make_shared<bool>(false);
  const auto failTheFirstSample = [failed] {
    *failed = false;
    hostwin::OnDeviceRequest([failed](int, uint32_t, const uint8_t* cmd) {
      if (*failed || !(cmd[0] == 0x14 && cmd[1] == 0x00)) return true;
      return !(*failed = true);
    });
  };
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(60);
  failTheFirstSample();
  lib_->ClosePosInterface();
  EXPECT_TRUE(*failed);
  EXPECT_EQ(EepromField(0, 0), 101u);

  // With every pin sample failing, the write cannot see the part ready after its byte: it
  // does not count as done, and the opening stays owed until the box answers again.
  ASSERT_NE(lib_->OpenPosInterface(0), -1);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(60);
  hostwin::OnDeviceRequest(
      [](int, uint32_t, const uint8_t* cmd) { return !(cmd[0] == 0x14 && cmd[1] == 0x00); });
  lib_->ClosePosInterface();
  hostwin::OnDeviceRequest(nullptr);
  hostwin::AdvanceMs(1000);
  lib_->GetLocalOpenCnt();  // the owed opening, tried again
  EXPECT_EQ(EepromField(0, 0), 102u);

  ASSERT_NE(lib_->OpenPosInterface(0), -1);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(60);
  AnotherCallerWritesTheCounter(150);
  failTheFirstSample();
  lib_->ClosePosInterface();
  EXPECT_TRUE(*failed);
  EXPECT_EQ(EepromField(0, 0), 150u);
  hostwin::OnDeviceRequest(nullptr);
  lib_->GetLocalOpenCnt();
  EXPECT_EQ(EepromField(0, 0), 151u);
}

// Openings owed to box 0, written while a session runs on box 1, leave that session's
// counter copy alone; openings still owed at the unload are written once the box is free.
TEST_F(DrawerTest, OwedOpeningsGoOnlyIntoTheirBoxAndTheUnloadWaitsForIt) {
  hostwin::AddPortBox(1);
  PutEeprom(1, 0, {200, 0, 0, 0});
  const auto kickAndCloseUnwritten = [this](int box) {
    ASSERT_EQ(lib_->KasseOpen(), 1);
    hostwin::RunFor(60);
    hostwin::OnDeviceRequest([box](int index, uint32_t, const uint8_t*) { return index != box; });
    lib_->ClosePosInterface();
  };
  kickAndCloseUnwritten(0);
  ASSERT_NE(lib_->OpenPosInterface(1), -1);
  hostwin::OnDeviceRequest(nullptr);
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 200u);  // box 0's opening was written meanwhile
  EXPECT_EQ(EepromField(0, 0), 101u);
  kickAndCloseUnwritten(1);
  hostwin::OnDeviceRequest(nullptr);
  hostwin::HoldMutex("Global\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.port.1", 2000);
  lib_.reset();
  EXPECT_EQ(EepromField(1, 0), 201u);
}

TEST_F(DrawerTest, ReopenAfterWriteBackPicksUpTheStoredCount) {
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(60);
  lib_->ClosePosInterface();
  ASSERT_NE(lib_->OpenPosInterface(0), -1);
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 0u);
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 101u);
  EXPECT_EQ(lib_->GetLastOpenCnt(), 101u);
}

TEST_F(DrawerTest, ScanWhileThePortBoxIsOpenKeepsItsSessionAndReleasesThePulse) {
  hostwin::AddPortBox(1);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  EXPECT_EQ(lib_->ScanForPos(), 0x0002u);
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_EQ(hostwin::ActiveTimers(), 0u);
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 1u);
  EXPECT_EQ(lib_->GetTotalOpenCnt(), 101u);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  EXPECT_EQ(Box(0).drawerPulses, 2u);
  EXPECT_EQ(Box(1).drawerPulses, 0u);
  hostwin::RunFor(60);
  lib_->ClosePosInterface();
  EXPECT_EQ(EepromField(0, 0), 102u);
  EXPECT_EQ(EepromField(1, 0), 0xFFFFFFFFu);

  // A scan whose bridge probe waits 5 s for a box another program keeps: the pulse is
  // completed first, not kept energised through the wait.
  hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
  hostwin::AddBridgeBox(0);
  hostwin::HoldMutex("Global\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.bridge.0", 6000);
  ASSERT_NE(lib_->OpenPosInterface(0), -1);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  const uint32_t kicked = hostwin::NowMs();
  lib_->ScanForPos();
  const sim::PortDrawerEvent* release = PortBoxDrawerEventAt(Box(0), Box(0).drawerEventCount - 1);
  ASSERT_NE(release, nullptr);
  EXPECT_EQ(release->level, 1);
  EXPECT_LE(release->timeMs - kicked, 61u);
  EXPECT_GE(hostwin::NowMs() - kicked, 5000u);  // the scan did wait for the bridge box
}

TEST_F(DrawerTest, FirmwareTextIsCyWithoutDeviceAccess) {
  char buf[10];
  memset(buf, '#', sizeof buf);
  lib_->GetFirmWareVersion(buf);
  EXPECT_EQ(std::string(buf, 4), std::string("Cy\0#", 4));
  EXPECT_THAT(hostwin::Trace(), IsEmpty());
}

// A kick whose own status read fails writes nothing and is not counted; one whose pulse
// write fails is counted all the same.
TEST_F(DrawerTest, KickFailingAtTheDriverIsNotReportedAsSuccess) {
  auto reads = std::make_shared<int>(0);
  hostwin::OnDeviceRequest([reads](int, uint32_t, const uint8_t* cmd) {
    return !(cmd[0] == 0x14 && cmd[1] == 0x14 && ++*reads == 2);
  });
  EXPECT_EQ(lib_->KasseOpen(), 0);
  EXPECT_THAT(DrawerWrites(), IsEmpty());
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 0u);
  hostwin::OnDeviceRequest([](int, uint32_t, const uint8_t* cmd) { return cmd[0] != 0x17; });
  EXPECT_EQ(lib_->KasseOpen(), 0);
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 1u);  // the count follows the attempt
}

}  // namespace
