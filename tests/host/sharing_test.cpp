// One box, many callers: a box another program keeps, a holder that died, a pulse of
// another process, and a timer stopped on another thread.
#include <gmock/gmock.h>

#include <functional>
#include <memory>

#include "port_fixture.h"

using ::testing::ElementsAre;

namespace {

const std::string kNames = "Local\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.";
std::string PortMutex(int n) { return kNames + "port." + std::to_string(n); }
std::string BridgeMutex(int n) { return kNames + "bridge." + std::to_string(n); }

// The shared record of driver-port box n, as the library lays it out.
struct SharedPulse {
  uint32_t ownerPid;
  uint32_t reserved;
  uint64_t ownerStart;
  int64_t writtenAt;
};
SharedPulse* PulseRecord(int n) {
  return reinterpret_cast<SharedPulse*>(hostwin::SharedMemory(PortMutex(n) + ".pulse"));
}

class SharingTest : public PortTest {
 protected:
  void Load(bool bridge) {
    if (bridge) {
      hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
      hostwin::AddBridgeBox(0).userArea[0] = 100;
    } else {
      hostwin::AddPortBox(0, 0xF3);
      PutEeprom(0, 0, {100, 0, 0, 0});
    }
    lib_ = std::make_unique<Library>();
    ASSERT_NE(lib_->OpenPosInterface(0), -1);
  }
  std::unique_ptr<Library> lib_;
};

TEST_F(SharingTest, ABoxAnotherProgramKeepsFailsEachOperationAfterTheWait) {
  using Lib = std::unique_ptr<Library>;
  const struct {
    const char* name;
    std::function<uint32_t(Lib&)> call;
  } calls[] = {
      {"KasseOpen", [](Lib& l) { return l->KasseOpen(); }},
      {"GetSerialNumber", [](Lib& l) { return l->GetSerialNumber(); }},
      {"GetLastOpenCnt", [](Lib& l) { return l->GetLastOpenCnt(); }},
      {"SetMfgDate", [](Lib& l) { return l->SetMfgDate(7); }},
      {"GetSwitch's read flag",
       [](Lib& l) {
         char flag = 9;
         l->GetSwitch(&flag);
         return static_cast<uint32_t>(flag);
       }},
  };
  for (bool bridge : {false, true}) {
    for (const auto& c : calls) {
      SCOPED_TRACE(std::string(bridge ? "bridge " : "driver port ") + c.name);
      hostwin::Reset();
      Load(bridge);
      hostwin::HoldMutex(bridge ? BridgeMutex(0) : PortMutex(0), 0);
      hostwin::ClearTrace();
      uint64_t start = hostwin::NowUs();
      EXPECT_EQ(c.call(lib_), 0u);
      EXPECT_EQ(hostwin::NowUs() - start, 5000000u);  // the wait bound, once
      EXPECT_EQ(hostwin::CountCalls("CreateFileA") + hostwin::CountCalls("FT_Open"), 0u);
      EXPECT_EQ(lib_->GetLocalOpenCnt(), 0u);
      lib_.reset();
    }
  }
}

TEST_F(SharingTest, AScanCountsABoxAnotherProgramKeeps) {
  for (int n = 0; n < 3; ++n) hostwin::AddPortBox(n);
  hostwin::HoldMutex(PortMutex(1), 0);
  Library lib;
  EXPECT_EQ(lib.GetNumPos(), 3u);  // box 2 keeps its number
  EXPECT_NE(lib.OpenPosInterface(2), -1);
}

TEST_F(SharingTest, ACloseOnABusyBoxKeepsItsOpeningsOwedUntilTheBoxIsFree) {
  for (bool bridge : {false, true}) {
    SCOPED_TRACE(bridge ? "bridge" : "driver port");
    hostwin::Reset();
    Load(bridge);
    ASSERT_EQ(lib_->KasseOpen(), 1);
    hostwin::RunFor(100);
    ASSERT_EQ(lib_->KasseOpen(), 1);
    hostwin::RunFor(100);
    std::string mutex = bridge ? BridgeMutex(0) : PortMutex(0);
    hostwin::HoldMutex(mutex, 40000);
    uint64_t start = hostwin::NowUs();
    lib_->ClosePosInterface();
    EXPECT_EQ(hostwin::NowUs() - start, 30000000u);  // the close waits 30 s, then goes on
    auto counter = [&] {
      return bridge ? hostwin::BridgeBoxAt(0).userArea[0] : Box(0).eeprom.memory[0];
    };
    EXPECT_EQ(counter(), 100);
    lib_->GetNumPos();  // still busy: owed on
    EXPECT_EQ(counter(), 100);
    hostwin::AdvanceMs(10000);
    lib_->GetNumPos();
    EXPECT_EQ(counter(), 102);
    lib_->GetNumPos();
    EXPECT_EQ(counter(), 102);  // written once
    lib_.reset();
  }
}

TEST_F(SharingTest, AfterAHolderDiedTheEepromStartsCleanAndTheCacheIsNotTrusted) {
  Load(false);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::RunFor(100);
  hostwin::AbandonMutex(PortMutex(0));
  hostwin::ClearTrace();
  // The close's read of the counter fails: with the cache not trusted, nothing is written.
  hostwin::OnDeviceRequest([](int, uint32_t, const uint8_t* cmd) {
    return !(cmd[0] == 0x14 && cmd[1] == 0x00);  // every pin sample fails
  });
  lib_->ClosePosInterface();
  EXPECT_EQ(EepromField(0, 0), 100u);
  // The first operation after the open: a deselect, a write disable (whose first bit is
  // the start bit), a deselect.
  std::vector<std::string> commands = Commands();
  ASSERT_GE(commands.size(), 4u);
  EXPECT_THAT(std::vector<std::string>(commands.begin() + 1, commands.begin() + 4),
              ElementsAre("15 00 40 00", "15 00 48 00", "15 00 68 00"));
  EXPECT_EQ(Box(0).eeprom.writeEnabled, false);
}

TEST_F(SharingTest, APulseOfAnotherProcessIsNeitherKickedIntoNorCutShort) {
  Load(false);
  hostwin::AddProcess(77, 5);
  SharedPulse* record = PulseRecord(0);
  ASSERT_NE(record, nullptr);
  *record = SharedPulse{77, 0, 5, static_cast<int64_t>(hostwin::NowUs())};
  hostwin::ClearTrace();
  EXPECT_EQ(lib_->KasseOpen(), 0);
  EXPECT_EQ(lib_->GetLocalOpenCnt(), 0u);
  lib_->KasseClose();
  EXPECT_TRUE(DrawerWrites().empty());
  EXPECT_EQ(record->ownerPid, 77u);

  // Its process dies; once the pulse's time is up, the next operation on the box releases.
  hostwin::EndProcess(77);
  char flag = 0;
  lib_->GetSwitch(&flag);
  EXPECT_TRUE(DrawerWrites().empty());  // not yet 60 ms
  hostwin::AdvanceMs(60);
  lib_->GetSwitch(&flag);
  EXPECT_THAT(DrawerWrites(), ElementsAre("17 2f f7 00"));
  EXPECT_EQ(record->ownerPid, 0u);
  EXPECT_EQ(lib_->KasseOpen(), 1);
  EXPECT_EQ(record->ownerPid, hostwin::kProcessId);
}

TEST_F(SharingTest, ATimerStoppedOnAnotherThreadNeverEndsALaterPulse) {
  Load(false);
  hostwin::SetThread(1);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::SetThread(2);
  hostwin::AdvanceMs(60);
  EXPECT_FALSE(hostwin::LibraryPinned());
  lib_->GetNumPos();  // ends the pulse; the timer is thread 1's and cannot be killed here
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_EQ(hostwin::ActiveTimers(), 1u);
  // The timer would outlive an unload: the library stays loaded until the process ends.
  EXPECT_TRUE(hostwin::LibraryPinned());

  hostwin::SetThread(1);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  uint32_t kicked = hostwin::NowMs();
  hostwin::RunFor(5);  // the old timer's message arrives now
  EXPECT_EQ(Box(0).drawerLine, 0);
  EXPECT_EQ(hostwin::ActiveTimers(), 1u);  // it killed itself; the new pulse's timer stays
  hostwin::RunFor(60);
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_GE(PortBoxDrawerEventAt(Box(0), Box(0).drawerEventCount - 1)->timeMs - kicked, 60u);
}

}  // namespace
