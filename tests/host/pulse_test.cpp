// Every drawer pulse lasts its 60 ms, whatever ends it, on a tick clock that moves in
// Windows' 15.625 ms steps; a release owed to a box that is gone is not retried for ever;
// a closed session's total outlives a scan.
#include <gmock/gmock.h>

#include <functional>
#include <memory>

#include "port_fixture.h"

namespace {

class PulseTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    hostwin::SetCoarseTicks(true);
    hostwin::AddPortBox(0, 0xF3);
    hostwin::AddPortBox(1, 0xF3);
    PutEeprom(0, 0, {100, 0, 0, 0});
    // The drawer line of box 0, to the microsecond: when the pulse was written and when
    // the first release after it.
    hostwin::OnDeviceRequest([this](int index, uint32_t code, const uint8_t* cmd) {
      if (index != 0 || code != 4 || cmd[0] != 0x17) return true;
      if ((cmd[2] & 1) == 0) {
        pulseUs_ = hostwin::NowUs();
        releaseUs_ = 0;
      } else if (pulseUs_ != 0 && releaseUs_ == 0) {
        releaseUs_ = hostwin::NowUs();
      }
      return true;
    });
  }
  uint64_t pulseUs_ = 0;
  uint64_t releaseUs_ = 0;
};

constexpr uint64_t kPulseUs = 60000;

TEST_F(PulseTest, NoPathEndsAPulseBeforeItsTime) {
  using Lib = std::unique_ptr<Library>;
  const struct {
    const char* path;
    std::function<void(Lib&)> before;
    std::function<void(Lib&)> end;
  } paths[] = {
      {"timer message", nullptr, [](Lib&) { hostwin::RunFor(100); }},
      {"a later call, no dispatch", nullptr,
       [](Lib& l) {
         for (int ms = 0; ms < 100; ++ms) {
           hostwin::AdvanceMs(1);
           l->GetNumPos();
         }
       }},
      {"no timer", [](Lib&) { hostwin::FailTimerCreation(1); }, [](Lib&) {}},
      {"close", nullptr, [](Lib& l) { l->ClosePosInterface(); }},
      {"open of another box", nullptr, [](Lib& l) { l->OpenPosInterface(1); }},
      {"open of the same number", nullptr, [](Lib& l) { l->OpenPosInterface(0); }},
      {"scan", nullptr, [](Lib& l) { l->ScanForPos(); }},
      {"unload", nullptr, [](Lib& l) { l.reset(); }},
      {"unload, the user slow to answer its warning", nullptr,
       [](Lib& l) {
         hostwin::OnMessageBox([](const hostwin::MessageBoxRecord&) { hostwin::AdvanceMs(5000); });
         l.reset();
         hostwin::OnMessageBox(nullptr);
       }},
  };
  // Where in the tick the kick falls decides how early a tick-based wait would end.
  for (uint64_t phaseUs : {0u, 300u, 7800u, 15500u}) {
    for (const auto& p : paths) {
      SCOPED_TRACE(std::string(p.path) + ", kick " + std::to_string(phaseUs) + " us into a tick");
      Lib lib = std::make_unique<Library>();
      ASSERT_NE(lib->OpenPosInterface(0), -1);
      hostwin::AdvanceUs(hostwin::kCoarseTickUs - hostwin::NowUs() % hostwin::kCoarseTickUs +
                         phaseUs);
      if (p.before) p.before(lib);
      pulseUs_ = releaseUs_ = 0;
      ASSERT_EQ(lib->KasseOpen(), 1);
      p.end(lib);
      ASSERT_NE(releaseUs_, 0u);
      EXPECT_GE(releaseUs_ - pulseUs_, kPulseUs);
      // At most one tick late, plus the 1 ms steps of the caller's own loop.
      EXPECT_LE(releaseUs_ - pulseUs_, kPulseUs + hostwin::kCoarseTickUs + 1000);
      EXPECT_EQ(Box(0).drawerLine, 1);
      EXPECT_EQ(hostwin::ActiveTimers(), 0u);
      lib.reset();
    }
  }
}

TEST_F(PulseTest, ACloseRightAfterAKickCostsTheRestOfThePulseAndItsWriteBack) {
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  hostwin::AdvanceMs(20);
  uint64_t closeUs = hostwin::NowUs();
  lib.ClosePosInterface();
  EXPECT_GE(releaseUs_ - pulseUs_, kPulseUs);
  // Nothing but the wait for the rest of the pulse took time; the write-back followed.
  EXPECT_EQ(hostwin::NowUs(), releaseUs_);
  EXPECT_LE(hostwin::NowUs() - closeUs, kPulseUs - 20000 + hostwin::kCoarseTickUs);
  EXPECT_EQ(EepromField(0, 0), 101u);
}

TEST_F(PulseTest, KasseCloseStillEndsThePulseAtOnce) {
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  hostwin::AdvanceMs(5);
  lib.KasseClose();
  EXPECT_EQ(releaseUs_ - pulseUs_, 5000u);
}

// The library's timer tries a release owed to an unplugged box every few milliseconds, but
// the box counts as gone only after three tries that found no device, half a second apart:
// a box back within that time gets its release, one gone longer is no longer tried. A
// while in which another program keeps the box is no try, and no end of the misses' row.
TEST_F(PulseTest, AReleaseOwedToABoxThatIsGoneIsDroppedOnlyAfterASecond) {
  const struct {
    uint32_t awayMs;
    uint32_t keptMs;  // from 400 ms on
    bool released;
  } cases[] = {{900, 0, true}, {1200, 0, false}, {1200, 200, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE("unplugged for " + std::to_string(c.awayMs) + " ms, kept " +
                 std::to_string(c.keptMs) + " ms");
    auto lib = std::make_unique<Library>();
    ASSERT_NE(lib->OpenPosInterface(0), -1);
    ASSERT_EQ(lib->KasseOpen(), 1);
    hostwin::RemovePortBox(0);
    hostwin::AdvanceMs(400);
    if (c.keptMs != 0) {
      hostwin::HoldMutex("Global\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.port.0", c.keptMs);
    }
    hostwin::AdvanceMs(c.awayMs - 400);
    hostwin::ReplugPortBox(0);
    hostwin::ClearTrace();
    hostwin::AdvanceMs(100);
    for (int call = 0; call < 5; ++call) lib->GetNumPos();
    EXPECT_EQ(DrawerWrites().size(), c.released ? 1u : 0u);  // the release, or no more tries
    lib.reset();
  }
}

// A box another program keeps is not a failed try: the release waits for it, for as long
// as it is kept.
TEST_F(PulseTest, ABoxAnotherProgramKeepsIsNotAFailedTryOfAnOwedRelease) {
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  hostwin::HoldMutex("Global\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.port.0", 40000);
  hostwin::AdvanceMs(39000);
  for (int call = 0; call < 5; ++call) lib.GetNumPos();
  EXPECT_EQ(Box(0).drawerLine, 0);
  hostwin::AdvanceMs(2000);  // the other program lets go
  EXPECT_EQ(Box(0).drawerLine, 1);
}

// Box 9, the last index, owes the release.
TEST_F(PulseTest, AReleaseOwedToOneBoxOutlivesAKickOnAnother) {
  hostwin::AddPortBox(9, 0xF3);
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(9), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  hostwin::OnDeviceRequest([](int index, uint32_t, const uint8_t* cmd) {
    return !(index == 9 && cmd[0] == 0x17 && (cmd[2] & 1) != 0);  // box 9 refuses releases
  });
  ASSERT_NE(lib.OpenPosInterface(1), -1);  // completes the pulse: its release is owed
  ASSERT_EQ(lib.KasseOpen(), 1);
  hostwin::RunFor(100);
  EXPECT_EQ(Box(1).drawerLine, 1);
  EXPECT_EQ(Box(9).drawerLine, 0);
  hostwin::OnDeviceRequest(nullptr);
  lib.GetNumPos();
  EXPECT_EQ(Box(9).drawerLine, 1);
}

TEST_F(PulseTest, AReleaseRefusedByABoxThatIsThereIsRetriedUntilItArrives) {
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(0), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  hostwin::OnDeviceRequest([](int, uint32_t, const uint8_t* cmd) {
    return !(cmd[0] == 0x17 && (cmd[2] & 1) != 0);  // every release write fails
  });
  hostwin::RunFor(100);
  hostwin::ClearTrace();
  for (int call = 0; call < 10; ++call) lib.GetNumPos();
  EXPECT_EQ(hostwin::CountCalls("CreateFileA"), 10u);
  EXPECT_EQ(Box(0).drawerLine, 0);
  hostwin::OnDeviceRequest(nullptr);
  lib.GetNumPos();
  EXPECT_EQ(Box(0).drawerLine, 1);
  hostwin::ClearTrace();
  lib.GetNumPos();
  EXPECT_EQ(hostwin::CountCalls("CreateFileA"), 0u);
}

// The total a close wrote back is what GetTotalOpenCnt says until a box is open again,
// also across a scan and a failed open.
TEST(ClosedTotalTest, OutlivesAScanAndAFailedOpenOnEitherVariant) {
  for (bool bridge : {false, true}) {
    SCOPED_TRACE(bridge ? "bridge" : "driver port");
    hostwin::Reset();
    if (bridge) {
      hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
      hostwin::AddBridgeBox(0).userArea[0] = 50;
    } else {
      hostwin::AddPortBox(0).eeprom.memory[0] = 50;
      for (int i = 1; i < 4; ++i) hostwin::PortBoxAt(0).eeprom.memory[i] = 0;
    }
    Library lib;
    ASSERT_NE(lib.OpenPosInterface(0), -1);
    ASSERT_EQ(lib.KasseOpen(), 1);
    hostwin::RunFor(100);
    lib.ClosePosInterface();
    EXPECT_EQ(lib.GetTotalOpenCnt(), 51u);
    lib.ScanForPos();
    EXPECT_EQ(lib.GetTotalOpenCnt(), 51u);
    EXPECT_EQ(lib.OpenPosInterface(7), -1);
    EXPECT_EQ(lib.GetTotalOpenCnt(), 51u);
    ASSERT_NE(lib.OpenPosInterface(0), -1);
    EXPECT_EQ(lib.GetTotalOpenCnt(), 51u);
    EXPECT_EQ(lib.GetLocalOpenCnt(), 0u);
  }
}

}  // namespace
