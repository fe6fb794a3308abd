// One box, many callers: a box another program keeps, a holder that died, a pulse of
// another process, and a timer stopped on another thread.
#include <gmock/gmock.h>

#include <string.h>

#include <functional>
#include <memory>

#include "port_fixture.h"

using ::testing::ElementsAre;

namespace {

const std::string kNames = "Global\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.";
std::string PortMutex(int n) { return kNames + "port." + std::to_string(n); }
std::string BridgeMutex(int n) { return kNames + "bridge." + std::to_string(n); }

// The shared record of driver-port box n, as the library lays it out.
struct SharedBoxRecord {
  uint32_t ownerPid;
  uint32_t eepromState;  // 1: the last deselect may not have arrived; 2: writes may be enabled
  uint64_t ownerStart;
  int64_t writtenAt;
};
constexpr uint64_t kOurStart = 0x01D9000000000001ull;  // the stand-in's start of this process
SharedBoxRecord* PulseRecord(int n) { return reinterpret_cast<SharedBoxRecord*>(MachineRecord(n)); }

class SharingTest : public PortTest {
 protected:
  // The library runs in a second desktop session; the other programs the tests play (their
  // mutexes, records and files) are of the machine, whichever session they run in.
  void Load(bool bridge) {
    hostwin::SetSession(2, false);
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
  // The other program: one of any session on the machine, or in this session a copy of the
  // library before 1.4, which takes only its session's mutex. The machine's mutex, taken
  // first, is given back when the session's is not had.
  for (bool earlierCopy : {false, true}) {
    for (bool bridge : {false, true}) {
      for (const auto& c : calls) {
        SCOPED_TRACE(std::string(earlierCopy ? "an earlier copy, " : "") +
                     (bridge ? "bridge " : "driver port ") + c.name);
        hostwin::Reset();
        Load(bridge);
        const std::string mutex = bridge ? BridgeMutex(0) : PortMutex(0);
        hostwin::HoldMutex(earlierCopy ? "Local" + mutex.substr(6) : mutex, 0);
        hostwin::ClearTrace();
        uint64_t start = hostwin::NowUs();
        EXPECT_EQ(c.call(lib_), 0u);
        EXPECT_EQ(hostwin::NowUs() - start, 5000000u);  // the wait bound, once
        EXPECT_EQ(hostwin::CountCalls("CreateFileA") + hostwin::CountCalls("FT_Open"), 0u);
        EXPECT_EQ(lib_->GetLocalOpenCnt(), 0u);
        EXPECT_TRUE(!earlierCopy || !hostwin::MutexHeld(mutex));  // the machine's given back
        lib_.reset();
      }
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
    return !(cmd[0] == 0x14 && cmd[1] == 0x00 && cmd[2] == 0x58);  // every data bit's sample
  });
  lib_->ClosePosInterface();
  EXPECT_EQ(EepromField(0, 0), 100u);
  // The first operation after the open: a deselect, a select and a look at the part (it may
  // still be programming), then a write disable whose start bit needs no second select.
  std::vector<std::string> commands = Commands();
  ASSERT_GE(commands.size(), 5u);
  EXPECT_THAT(std::vector<std::string>(commands.begin() + 1, commands.begin() + 5),
              ElementsAre("15 00 40 00", "15 00 48 00", "14 00 48 00", "15 00 68 00"));
  EXPECT_EQ(Box(0).eeprom.writeEnabled, false);
}

// The session's copy of the stored counter (what the total adds its openings to) is not
// trusted once an operation found the box's last holder dead, until the counter is seen again.
TEST_F(SharingTest, AfterAHolderDiedTheTotalTrustsOnlyACounterSeenSince) {
  using Lib = std::unique_ptr<Library>;
  const struct {
    bool bridge;
    const char* call;
    std::function<void(Lib&)> run;
    uint32_t total;
  } cases[] = {
      {false, "KasseOpen", [](Lib& l) { l->KasseOpen(); }, 1},
      {true, "KasseOpen", [](Lib& l) { l->KasseOpen(); }, 1},
      {false, "GetSerialNumber", [](Lib& l) { l->GetSerialNumber(); }, 0},
      {true, "GetSerialNumber", [](Lib& l) { l->GetSerialNumber(); }, 100},  // the record, whole
      {false, "GetLastOpenCnt", [](Lib& l) { l->GetLastOpenCnt(); }, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.bridge ? "bridge " : "driver port ") + c.call);
    hostwin::Reset();
    Load(c.bridge);
    ASSERT_EQ(lib_->GetTotalOpenCnt(), 100u);
    hostwin::AbandonMutex(c.bridge ? BridgeMutex(0) : PortMutex(0));
    c.run(lib_);
    EXPECT_EQ(lib_->GetTotalOpenCnt(), c.total);
    lib_.reset();
  }
}

TEST_F(SharingTest, APulseOfAnotherProcessIsNeitherKickedIntoNorCutShort) {
  Load(false);
  hostwin::AddProcess(77, 5);
  SharedBoxRecord* record = PulseRecord(0);
  ASSERT_NE(record, nullptr);
  *record = SharedBoxRecord{77, 0, 5, static_cast<int64_t>(hostwin::NowUs())};
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

TEST_F(SharingTest, APulseEndsOnTimeWhicheverThreadKickedAndAnyThreadUnloads) {
  Load(false);
  hostwin::SetThread(1);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  const uint32_t kicked = hostwin::NowMs();
  hostwin::SetThread(2);
  hostwin::AdvanceMs(100);  // no thread dispatches, no call is made
  ASSERT_EQ(Box(0).drawerLine, 1);
  const uint32_t width = PortBoxDrawerEventAt(Box(0), Box(0).drawerEventCount - 1)->timeMs - kicked;
  EXPECT_GE(width, 60u);
  EXPECT_LE(width, 61u);
  // Thread 2 kicks and unloads the library while its pulse runs: the unload completes it.
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::SetThread(3);
  lib_.reset();
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_FALSE(hostwin::LibraryPinned());
  EXPECT_EQ(hostwin::PoolTimersOpen(), 0u);
}

// The unload cannot write its release: another program keeps the box past the wait. The
// record is left as a gone process's, and the next program to use the box releases it.
TEST_F(SharingTest, AReleaseTheUnloadCannotWriteIsLeftToTheNextProgram) {
  Load(false);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::HoldMutex(PortMutex(0), 60000);
  lib_->ClosePosInterface();
  lib_.reset();
  EXPECT_EQ(Box(0).drawerLine, 0);
  SharedBoxRecord* record = PulseRecord(0);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->ownerPid, hostwin::kProcessId);
  EXPECT_NE(record->ownerStart, kOurStart);  // no longer this process's
  hostwin::AdvanceMs(60000);
  Library next;
  EXPECT_EQ(Box(0).drawerLine, 1);
  EXPECT_EQ(record->ownerPid, 0u);
}

// Field reads and writes take their time (a millisecond a request, as on the box's USB
// controller, and a part that programs for 3 ms): whoever holds the box releases a pulse
// whose 60 ms are up before its next request, inside an EEPROM instruction too, this
// process's own as well as another's, instead of keeping it energised until the work ends.
// A release whose status read fails writes nothing made up from the reply it left (a pin
// sample's): it is tried again 5 ms on.
TEST_F(SharingTest, TheBoxsHolderReleasesADuePulseBeforeItsNextRequest) {
  using Lib = std::unique_ptr<Library>;
  const struct {
    const char* name;
    std::function<void(Lib&)> work;
    bool statusReadFailsOnce;
    size_t mostLate;  // requests served more than 61 ms after the pulse began, before its end
  } works[] = {
      {"a field write", [](Lib& l) { ASSERT_EQ(l->SetSerialNumber(0x12345678), 1); }, false, 4},
      {"field reads",
       [](Lib& l) {
         for (int i = 0; i < 2; ++i) ASSERT_EQ(l->GetMfgDate(), 0xFFFFFFFFu);
       },
       false, 4},
      {"a field write, the release's status read failing once",
       [](Lib& l) { ASSERT_EQ(l->SetSerialNumber(0x12345678), 1); }, true, 4 + 5},
  };
  for (const auto& w : works) {
    for (bool own : {true, false}) {
      SCOPED_TRACE(std::string(w.name) + (own ? ", this process's pulse" : ", another's pulse"));
      hostwin::Reset();
      Load(false);
      Box(0).eeprom.programUs = 3000;
      auto served = std::make_shared<std::vector<uint64_t>>();
      // With the fault armed: the second status read fails (the first is the device open's).
      auto armed = std::make_shared<int>(0);
      hostwin::OnDeviceRequest([served, armed](int, uint32_t, const uint8_t* cmd) {
        served->push_back(hostwin::NowUs());
        hostwin::AdvanceUs(1000);
        if (*armed == 0 || cmd[0] != 0x14 || cmd[1] != 0x14) return true;
        return --*armed != 0;
      });
      hostwin::HoldPoolTimers(true);  // the timer cannot run while the work holds the lock
      // The pulse begins when the line falls, as the box sees it.
      uint64_t pulseUs = hostwin::NowUs();
      if (own) {
        ASSERT_EQ(lib_->KasseOpen(), 1);
        pulseUs =
            uint64_t{PortBoxDrawerEventAt(Box(0), Box(0).drawerEventCount - 1)->timeMs} * 1000;
      } else {
        hostwin::AddProcess(77, 5);
        *PulseRecord(0) = SharedBoxRecord{77, 0, 5, static_cast<int64_t>(pulseUs)};
        Box(0).port = 0xF2, Box(0).drawerLine = 0;
      }
      hostwin::AdvanceMs(40);
      served->clear();
      hostwin::ClearTrace();
      *armed = w.statusReadFailsOnce ? 2 : 0;
      w.work(lib_);
      for (const std::string& c : DrawerWrites()) EXPECT_EQ(c, "17 2f f7 00");
      const sim::PortDrawerEvent* release =
          PortBoxDrawerEventAt(Box(0), Box(0).drawerEventCount - 1);
      ASSERT_NE(release, nullptr);
      EXPECT_EQ(release->level, 1);
      const uint64_t releaseUs = uint64_t{release->timeMs} * 1000;
      EXPECT_GE(releaseUs - pulseUs, 60000u);
      size_t late = 0;
      for (uint64_t at : *served) late += at > pulseUs + 61000 && at < releaseUs ? 1 : 0;
      EXPECT_LE(late, w.mostLate);
      EXPECT_EQ(PulseRecord(0)->ownerPid, 0u);
      hostwin::OnDeviceRequest(nullptr);
      hostwin::HoldPoolTimers(false);
      lib_.reset();
    }
  }
}

// This process's pulse, released by another process that held the box, which then kicked
// a pulse of its own: this process's timer, late, leaves the other's pulse alone.
TEST_F(SharingTest, APulseTheHolderReleasedIsNotReleasedAgainIntoTheHoldersPulse) {
  Load(false);
  hostwin::HoldPoolTimers(true);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::AdvanceMs(70);
  hostwin::AddProcess(77, 5);
  *PulseRecord(0) = SharedBoxRecord{77, 0, 5, static_cast<int64_t>(hostwin::NowUs())};
  const uint32_t changes = Box(0).drawerEventCount;
  hostwin::HoldPoolTimers(false);
  hostwin::AdvanceMs(20);
  EXPECT_EQ(Box(0).drawerEventCount, changes);  // no release written into 77's pulse
  EXPECT_EQ(PulseRecord(0)->ownerPid, 77u);
  EXPECT_EQ(lib_->KasseOpen(), 0);  // 77's pulse runs
}

// Process A's identity write fails part way (a burst of pin writes lost, its deselect among
// them, or every request from some point on, the part left selected inside an instruction,
// perhaps programming), and A ends; with it the box's shared record, which no other process
// holds. Then process B only reads, on a part that programs for 3 ms. Wherever A's write
// failed, B's instructions begin cleanly: nothing is written that nobody meant, and B sends
// no start bit into a part still programming.
TEST_F(SharingTest, AnotherProcessesFailedWriteNeverTurnsAPlainReadIntoAWrite) {
  struct Fault {
    const char* name;
    uint32_t first, last;
    std::function<bool(uint32_t point, const uint8_t* cmd)> passes;
    bool unloadReaches;  // A's unload reaches the box again
  };
  auto pins = std::make_shared<uint32_t>(0);
  auto requests = std::make_shared<uint32_t>(0);
  const Fault faults[] = {
      {"a burst of 60 pin writes lost from the n-th", 35, 89,
       [pins](uint32_t first, const uint8_t* cmd) {
         if (cmd[0] != 0x15) return true;
         ++*pins;
         return *pins < first || *pins >= first + 60;
       },
       true},
      {"every request lost from the n-th, the process ending", 1, 205,
       [requests](uint32_t first, const uint8_t*) { return ++*requests < first; }, false},
      {"every request lost from the n-th until the process's unload", 1, 205,
       [requests](uint32_t first, const uint8_t*) { return ++*requests < first; }, true},
  };
  for (const Fault& fault : faults) {
    for (uint32_t point = fault.first; point <= fault.last; ++point) {
      SCOPED_TRACE(std::string(fault.name) + ", n = " + std::to_string(point));
      hostwin::Reset();
      hostwin::AddPortBox(0, 0xF3).eeprom.programUs = 3000;
      uint8_t before[128];
      for (int i = 0; i < 128; ++i) before[i] = static_cast<uint8_t>(i * 37 + 11);
      before[0] = 100, before[1] = before[2] = before[3] = 0;
      memcpy(Box(0).eeprom.memory, before, sizeof before);
      {
        Library a;
        ASSERT_NE(a.OpenPosInterface(0), -1);
        *pins = 0;
        *requests = 0;
        hostwin::OnDeviceRequest([&fault, point](int, uint32_t, const uint8_t* cmd) {
          return fault.passes(point, cmd);
        });
        EXPECT_EQ(a.SetSerialNumber(0xA5A55A5A), 0);
        hostwin::OnDeviceRequest(nullptr);
        if (!fault.unloadReaches) {
          // Its unload can reach the box no more either.
          hostwin::OnDeviceRequest([](int, uint32_t, const uint8_t*) { return false; });
        }
      }
      hostwin::OnDeviceRequest(nullptr);
      hostwin::DropUnheldObjects();
      {
        Library b;
        ASSERT_NE(b.OpenPosInterface(0), -1);
        b.GetSerialNumber();
        b.GetMfgDate();
      }
      const uint8_t* after = Box(0).eeprom.memory;
      for (int i = 0; i < 128; ++i) {
        if (i >= 4 && i < 8) {
          const uint8_t meant = static_cast<uint8_t>(0xA5A55A5Au >> (8 * (i - 4)));
          EXPECT_TRUE(after[i] == before[i] || after[i] == meant) << "serial byte " << i;
        } else {
          EXPECT_EQ(after[i], before[i]) << "byte " << i;
        }
      }
      // Where A's unload could still reach the box, it left writes disabled.
      if (fault.unloadReaches) {
        EXPECT_FALSE(Box(0).eeprom.writeEnabled);
      }
    }
  }
}

// A service (session 0, SYSTEM) and a standard user's program (session 1) use one box, in
// either order. The first's write meets a part that stops getting ready, so it cannot send
// its write disable, not even at its unload; then it ends. The second, in the other session,
// finds in the box's record what the first left: it waits for the part and sends the write
// disable before anything else. (A record of one session, or a global mapping the standard
// user's program could not make, would leave it nothing to find.)
TEST_F(SharingTest, AServiceAndAUsersProgramShareTheBoxsRecordInEitherOrder) {
  for (bool serviceFirst : {true, false}) {
    SCOPED_TRACE(serviceFirst ? "the service first" : "the user's program first");
    hostwin::Reset();
    hostwin::AddPortBox(0, 0xF3).eeprom.programUs = 3000;
    PutEeprom(0, 0, {100, 0, 0, 0});
    hostwin::SetSession(serviceFirst ? 0 : 1, serviceFirst);
    {
      Library first;
      ASSERT_NE(first.OpenPosInterface(0), -1);
      Box(0).eeprom.neverReady = true;
      EXPECT_EQ(first.SetSerialNumber(0x12345678), 0);
      ASSERT_TRUE(Box(0).eeprom.writeEnabled);
      first.ClosePosInterface();
    }
    hostwin::DropUnheldObjects();
    Box(0).eeprom.neverReady = false;
    hostwin::SetSession(serviceFirst ? 1 : 0, !serviceFirst);
    hostwin::ClearTrace();
    Library second;
    ASSERT_NE(second.OpenPosInterface(0), -1);
    EXPECT_FALSE(Box(0).eeprom.writeEnabled);
    EXPECT_GE(Box(0).eeprom.executed[sim::kEepromEwds], 1u);
    EXPECT_EQ(second.GetLastOpenCnt(), 100u);
  }
}

// A close whose openings are owed (the box busy) meets, on the first retry with the box
// free, one failed request: the debt stays, and the next call writes it once.
TEST_F(SharingTest, OwedOpeningsOutliveAFailedRequestAndAreWrittenOnce) {
  const struct {
    const char* name;
    bool bridge;
    std::function<void()> failOnce;
  } faults[] = {
      {"status read of the device open", false,
       [] {
         auto done = std::make_shared<bool>(false);
         hostwin::OnDeviceRequest([done](int, uint32_t, const uint8_t* cmd) {
           if (*done || cmd[0] != 0x14 || cmd[1] != 0x14) return true;
           return !(*done = true);
         });
       }},
      {"a pin sample of the counter's read", false,
       [] {
         auto done = std::make_shared<bool>(false);
         hostwin::OnDeviceRequest([done](int, uint32_t, const uint8_t* cmd) {
           if (*done || cmd[0] != 0x14 || cmd[1] != 0x00) return true;
           return !(*done = true);
         });
       }},
      {"a pin write of the counter's write", false,
       [] {
         auto pins = std::make_shared<uint32_t>(0);
         // Past the read (1 + 4 x 56 pin transfers, samples not counted) and the write
         // enable: inside the write of the counter's top byte.
         hostwin::OnDeviceRequest([pins](int, uint32_t, const uint8_t* cmd) {
           return cmd[0] != 0x15 || ++*pins != 4 * 48 + 33 + 20;
         });
       }},
      {"the last pin write of the counter's write disable", false,
       [] {
         auto pins = std::make_shared<uint32_t>(0);
         hostwin::OnDeviceRequest([pins](int, uint32_t, const uint8_t* cmd) {
           return cmd[0] != 0x15 || ++*pins != 4 * 48 + 33 + 4 * 56 + 32;
         });
       }},
      {"FT_EE_UARead", true, [] { hostwin::FailFtCall(2, hostwin::FtFault::kError); }},
      {"FT_EE_UAWrite", true, [] { hostwin::FailFtCall(3, hostwin::FtFault::kError); }},
  };
  for (const auto& f : faults) {
    SCOPED_TRACE(f.name);
    hostwin::Reset();
    Load(f.bridge);
    ASSERT_EQ(lib_->KasseOpen(), 1);
    hostwin::AdvanceMs(100);
    ASSERT_EQ(lib_->KasseOpen(), 1);
    hostwin::AdvanceMs(100);
    hostwin::HoldMutex(f.bridge ? BridgeMutex(0) : PortMutex(0), 31000);
    lib_->ClosePosInterface();
    auto counter = [&] {
      return f.bridge ? hostwin::BridgeBoxAt(0).userArea[0] : Box(0).eeprom.memory[0];
    };
    ASSERT_EQ(counter(), 100);
    hostwin::AdvanceMs(2000);
    f.failOnce();
    lib_->GetNumPos();
    // The write disable went out despite the failure, not only at the next operation.
    EXPECT_FALSE(!f.bridge && Box(0).eeprom.writeEnabled);
    hostwin::OnDeviceRequest(nullptr);
    lib_->GetNumPos();
    lib_->GetNumPos();
    EXPECT_EQ(counter(), 102);
    if (!f.bridge) {
      EXPECT_EQ(Box(0).eeprom.memory[1], 0);
      EXPECT_FALSE(Box(0).eeprom.writeEnabled);
    }
    lib_.reset();
    EXPECT_EQ(counter(), 102);
  }
}

// A box whose device cannot be opened: the openings owed to it are given up only after
// three tries that found no device, half a second apart (many calls in a moment count once).
TEST_F(SharingTest, OwedOpeningsAreGivenUpOnlyWhenTheBoxIsGone) {
  for (uint32_t awayMs : {900u, 1100u}) {
    SCOPED_TRACE("unplugged for " + std::to_string(awayMs) + " ms");
    hostwin::Reset();
    Load(false);
    ASSERT_EQ(lib_->KasseOpen(), 1);
    hostwin::AdvanceMs(100);
    hostwin::HoldMutex(PortMutex(0), 31000);
    lib_->ClosePosInterface();
    hostwin::AdvanceMs(2000);
    hostwin::RemovePortBox(0);
    for (uint32_t ms = 0; ms <= awayMs; ms += 50) {
      lib_->GetNumPos();
      lib_->GetNumPos();
      hostwin::AdvanceMs(50);
    }
    hostwin::ReplugPortBox(0);
    lib_->GetNumPos();
    EXPECT_EQ(EepromField(0, 0), awayMs < 1000 ? 101u : 100u);
    lib_.reset();
  }
}

// Another program keeps the box from just after the kick for 5.5 s; the application
// neither dispatches nor calls. The release lands as soon as the box is free.
TEST_F(SharingTest, AReleaseThatMeetsABusyBoxOrAFailedRequestIsRetriedWithoutHelp) {
  for (bool busy : {true, false}) {
    SCOPED_TRACE(busy ? "box busy for 5.5 s" : "the release's status read fails once");
    hostwin::Reset();
    Load(false);
    ASSERT_EQ(lib_->KasseOpen(), 1);
    const uint64_t kickedUs = hostwin::NowUs();
    if (busy) {
      hostwin::HoldMutex(PortMutex(0), 5500);
    } else {
      auto done = std::make_shared<bool>(false);
      hostwin::OnDeviceRequest([done](int, uint32_t, const uint8_t* cmd) {
        if (*done || cmd[0] != 0x14 || cmd[1] != 0x14) return true;
        return !(*done = true);
      });
    }
    hostwin::AdvanceMs(9000);
    ASSERT_EQ(Box(0).drawerLine, 1);
    const uint32_t released = PortBoxDrawerEventAt(Box(0), Box(0).drawerEventCount - 1)->timeMs;
    const uint32_t heldUntil = static_cast<uint32_t>(kickedUs / 1000) + (busy ? 5500 : 60);
    EXPECT_GE(released, heldUntil);
    EXPECT_LE(released, heldUntil + 30);  // a retry's wait and its interval
    hostwin::OnDeviceRequest(nullptr);
    lib_.reset();
  }
}

// A record whose owner has this process's id but another start time is a dead process's.
TEST_F(SharingTest, AReusedProcessIdIsNotTakenForThisProcess) {
  Load(false);
  SharedBoxRecord* record = PulseRecord(0);
  ASSERT_NE(record, nullptr);
  *record = SharedBoxRecord{hostwin::kProcessId, 0, kOurStart + 1,
                            static_cast<int64_t>(hostwin::NowUs())};
  Box(0).port = 0xF2, Box(0).drawerLine = 0;  // its line energised
  EXPECT_EQ(lib_->KasseOpen(), 0);            // not into its pulse
  hostwin::AdvanceMs(60);
  hostwin::ClearTrace();
  char flag = 0;
  lib_->GetSwitch(&flag);
  EXPECT_THAT(DrawerWrites(), ElementsAre("17 2f f7 00"));
  EXPECT_EQ(record->ownerPid, 0u);
  // A process that exists but may not be looked at is alive: its pulse is not cut short.
  hostwin::AddProcessDenyingOpen(78, 9);
  *record = SharedBoxRecord{78, 0, 9, static_cast<int64_t>(hostwin::NowUs()) - 100000};
  hostwin::ClearTrace();
  lib_->GetSwitch(&flag);
  EXPECT_EQ(lib_->KasseOpen(), 0);
  lib_->KasseClose();
  EXPECT_TRUE(DrawerWrites().empty());
  // A living process that took over a dead owner's id started later: the pulse is released.
  hostwin::AddProcess(79, 12);
  *record = SharedBoxRecord{79, 0, 11, static_cast<int64_t>(hostwin::NowUs()) - 100000};
  lib_->GetSwitch(&flag);
  EXPECT_THAT(DrawerWrites(), ElementsAre("17 2f f7 00"));
}

TEST_F(SharingTest, TheRecordIsStampedBeforeTheLineIsEnergised) {
  Load(false);
  SharedBoxRecord* record = PulseRecord(0);
  ASSERT_NE(record, nullptr);
  auto stamped = std::make_shared<int>(-1);
  hostwin::OnDeviceRequest([record, stamped](int, uint32_t, const uint8_t* cmd) {
    if (cmd[0] == 0x17 && (cmd[2] & 1) == 0) *stamped = record->ownerPid == hostwin::kProcessId;
    return true;
  });
  ASSERT_EQ(lib_->KasseOpen(), 1);
  EXPECT_EQ(*stamped, 1);
  hostwin::RunFor(100);
  EXPECT_EQ(record->ownerPid, 0u);  // released: no other program waits for it
}

// Program 77 kicks and dies. A program that used the box releases the pulse once its
// 60 ms are up, on a call that needs no box; a program loading later releases a line left
// energised by nobody.
TEST_F(SharingTest, ADeadProgramsPulseIsReleasedByAnyCallOfAnotherThatUsedTheBox) {
  Load(false);
  ASSERT_EQ(lib_->ClosePosInterface(), 1);
  SharedBoxRecord* record = PulseRecord(0);
  ASSERT_NE(record, nullptr);
  *record = SharedBoxRecord{77, 0, 5, static_cast<int64_t>(hostwin::NowUs())};
  Box(0).port = 0xF2, Box(0).drawerLine = 0;
  hostwin::ClearTrace();
  lib_->GetLocalOpenCnt();
  EXPECT_TRUE(DrawerWrites().empty());  // within its 60 ms
  hostwin::AdvanceMs(100);
  lib_->GetLocalOpenCnt();
  EXPECT_THAT(DrawerWrites(), ElementsAre("17 2f f7 00"));
  EXPECT_EQ(record->ownerPid, 0u);
  lib_.reset();

  // Energised with no pulse in the record (released at once), with one of a process that
  // died inside it, just written (released once its 60 ms are up, not before), or with one
  // stamped later than now: written before the machine restarted (released at once, not
  // waited for).
  const struct {
    uint32_t owner;
    int64_t stampedUs;  // after now
    bool waited;
  } rows[] = {{0, 0, false}, {77, 0, true}, {77, 3'600'000'000, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "owner " << row.owner << " stamped " << row.stampedUs);
    Box(0).port = 0xF2, Box(0).drawerLine = 0;
    const uint64_t nowUs = hostwin::NowUs();
    *record = SharedBoxRecord{row.owner, 0, 5, static_cast<int64_t>(nowUs) + row.stampedUs};
    hostwin::ClearTrace();
    Library fresh;
    if (row.stampedUs == 0) {
      EXPECT_THAT(DrawerWrites(), ElementsAre("17 2f f7 00"));
    } else {  // released by the scan, then again by the probe, which sees the line as set
      EXPECT_THAT(DrawerWrites(), ::testing::Each(::testing::Eq("17 2f f7 00")));
      EXPECT_FALSE(DrawerWrites().empty());
    }
    EXPECT_EQ(Box(0).drawerLine, 1);
    const uint32_t releasedMs = PortBoxDrawerEventAt(Box(0), Box(0).drawerEventCount - 1)->timeMs;
    if (row.waited) {
      EXPECT_GE(releasedMs, nowUs / 1000 + 60);
    } else {
      EXPECT_LE(releasedMs, nowUs / 1000 + 1);
    }
  }
}

// The objects grant the session's programs only what the library does with them, and the
// library asks for no more, also when it runs elevated.
// The machine's objects grant every user's program only what the library does with them,
// and their security to read; their maker and SYSTEM hold every right. The library asks for
// no more, also when it runs elevated.
TEST_F(SharingTest, TheNamedObjectsGrantOnlyWhatTheLibraryUses) {
  constexpr uint32_t kMutexRights = 0x00120001;   // SYNCHRONIZE, MUTEX_MODIFY_STATE, READ_CONTROL
  constexpr uint32_t kFileRights = 0x0012019F;    // FILE_GENERIC_READ and FILE_GENERIC_WRITE
  constexpr uint32_t kFolderRights = 0x001200A3;  // list, add a file, traverse, read
  constexpr uint32_t kWriteDac = 0x00040000, kWriteOwner = 0x00080000, kDelete = 0x00010000;
  hostwin::SetElevated(true);  // the maker: the administrators own what it makes
  hostwin::AddFolder("C:\\trace");
  hostwin::SetRegistryString(true, "Software\\TEVRO", "TraceFile", "C:\\trace\\t.log");
  Load(false);
  ASSERT_EQ(lib_->KasseOpen(), 1);
  hostwin::AdvanceMs(100);
  lib_->GetNumPos();
  for (const std::string& name : {PortMutex(0), kNames + "trace"}) {
    SCOPED_TRACE(name);
    EXPECT_THAT(hostwin::ObjectAccess(name), ::testing::Each(kMutexRights));
    EXPECT_FALSE(hostwin::ObjectAccess(name).empty());
    EXPECT_TRUE(hostwin::OpenableBy(name, kMutexRights, false));
    EXPECT_TRUE(hostwin::OpenableByAnotherUser(name, kMutexRights));
    EXPECT_FALSE(hostwin::OpenableByAnotherUser(name, kWriteDac));
    EXPECT_FALSE(hostwin::OpenableByAnotherUser(name, kWriteOwner));
    EXPECT_FALSE(hostwin::OpenableBy(name, kWriteDac, false));  // not the maker, unelevated
    EXPECT_TRUE(hostwin::OpenableBy(name, kWriteDac, true));    // the maker
  }
  for (const std::string& path : {RecordFile(0), std::string("C:\\ProgramData\\TEVRO")}) {
    SCOPED_TRACE(path);
    const uint32_t rights = path == RecordFile(0) ? kFileRights : kFolderRights;
    EXPECT_TRUE(hostwin::FileOpenableBy(path, rights, true));
    for (uint32_t more : {kWriteDac, kWriteOwner, kDelete}) {
      EXPECT_FALSE(hostwin::FileOpenableBy(path, more, true)) << std::hex << more;
    }
  }
  lib_.reset();
  EXPECT_EQ(hostwin::UnfreedDescriptors(), 0u);
}

// A box whose mutex cannot be had at all (a sandbox without global names, and the session's
// name made first as another kind of object) is kicked, never written; a driver-port box's EEPROM
// pins are not driven at all (they are the lock holder's), a bridge box's record is read.
TEST_F(SharingTest, ABoxWithoutItsMutexIsKickedButNeverWritten) {
  for (bool bridge : {false, true}) {
    SCOPED_TRACE(bridge ? "bridge" : "driver port");
    hostwin::Reset();
    hostwin::AddFolder("C:\\trace");
    hostwin::SetEnv("TEVRO_TRACE", "C:\\trace\\t.log");
    const std::string mutex = bridge ? BridgeMutex(0) : PortMutex(0);
    hostwin::SetSession(2, false);       // the session the library then runs in (Load)
    hostwin::SetGlobalNamespace(false);  // a sandbox: the session's objects stand in
    ASSERT_TRUE(
        hostwin::MakeObjectAs("Local" + mutex.substr(6), hostwin::ObjectKind::kMapping, "", false));
    Load(bridge);
    if (bridge) {
      hostwin::BridgeBoxAt(0).userArea[4] = 7;
    } else {
      PutEeprom(0, 4, {7, 0, 0, 0});
    }
    hostwin::ClearTrace();
    EXPECT_EQ(lib_->GetSerialNumber(), bridge ? 7u : 0u);
    for (const std::string& c : Commands()) {
      EXPECT_NE(c.substr(0, 2), "15") << c;
      EXPECT_NE(c.substr(0, 5), "14 00") << c;
    }
    EXPECT_EQ(lib_->KasseOpen(), 1);
    hostwin::AdvanceMs(100);
    hostwin::ClearTrace();
    EXPECT_EQ(lib_->SetSerialNumber(0x12345678), 0);
    lib_->ClosePosInterface();
    EXPECT_EQ(hostwin::CountCalls("FT_EE_UAWrite"), 0u);
    for (const std::string& c : Commands()) EXPECT_NE(c.substr(0, 2), "15") << c;
    auto counter = [&] {
      return bridge ? hostwin::BridgeBoxAt(0).userArea[0] : Box(0).eeprom.memory[0];
    };
    EXPECT_EQ(counter(), 100);  // owed, not written without the box's turn
    lib_.reset();
    // The trace says why, once, and that the openings were lost at the unload.
    const std::string trace = hostwin::FileText("C:\\trace\\t.log");
    const std::string box = std::string(bridge ? "bridge" : "port") + " 0";
    EXPECT_THAT(trace, ::testing::HasSubstr(" wait: " + box + ": its mutex cannot be had ("));
    EXPECT_EQ(trace.find(": its mutex cannot be had ("),
              trace.rfind(": its mutex cannot be had ("));
    EXPECT_THAT(trace, ::testing::HasSubstr(" owed openings: " + box +
                                            ": 1 openings not written before the unload; "
                                            "lost"));
  }
}

// Objects found under the library's names that another program made. A squatter's (anyone
// may change its security, it refuses this program, it is of another kind or shape) is not
// used: the box is not reached, and nothing goes to it. A namespace that refuses this
// process (a sandbox) sends it to its logon session's objects, which the trace says once:
// the box is then shared with the session only.
TEST_F(SharingTest, ASquattersObjectIsNotUsedAndAnUnreachableOneFallsBackToTheSession) {
  const char kAnyoneAll[] = "D:(A;;GA;;;WD)";
  const char kSoundFile[] = "D:P(A;;GA;;;SY)(A;;GA;;;OW)(A;;0x0012019F;;;WD)";
  const char kSoundFolder[] = "D:P(A;;GA;;;SY)(A;;GA;;;OW)(A;;0x001200A3;;;WD)";
  const struct {
    const char* name;
    bool bridge;
    std::function<void()> before;
    bool reached;
  } cases[] = {
      {"another user's mutex that anyone may change", false,
       [&] {
         hostwin::MakeObjectAs(PortMutex(0), hostwin::ObjectKind::kMutex, kAnyoneAll, false, true);
       },
       false},
      {"the same, of a bridge box", true,
       [&] {
         hostwin::MakeObjectAs(BridgeMutex(0), hostwin::ObjectKind::kMutex, kAnyoneAll, false,
                               true);
       },
       false},
      {"another user's record file that anyone may change", false,
       [&] {
         ASSERT_TRUE(hostwin::MakeFolderAs("C:\\ProgramData\\TEVRO", kSoundFolder));
         ASSERT_TRUE(hostwin::MakeFileAs(RecordFile(0), kAnyoneAll));
       },
       false},
      {"another user's mutex that anyone may change on a condition", false,
       [&] {
         ASSERT_TRUE(hostwin::MakeObjectAs(
             PortMutex(0), hostwin::ObjectKind::kMutex,
             "D:(A;;GA;;;SY)(XA;;GA;;;WD;((Member_of {SID(BA)}) || (Member_of {SID(BU)})))", false,
             true));
       },
       false},
      {"a sound record file with a second name", false,
       [&] {
         ASSERT_TRUE(hostwin::MakeFolderAs("C:\\ProgramData\\TEVRO", kSoundFolder));
         ASSERT_TRUE(hostwin::MakeFileAs(RecordFile(0), kSoundFile));
         hostwin::SetFileShape(RecordFile(0), 2, false);
       },
       false},
      {"a sound record file that is a link", false,
       [&] {
         ASSERT_TRUE(hostwin::MakeFolderAs("C:\\ProgramData\\TEVRO", kSoundFolder));
         ASSERT_TRUE(hostwin::MakeFileAs(RecordFile(0), kSoundFile));
         hostwin::SetFileShape(RecordFile(0), 1, true);
       },
       false},
      {"a sound record file of another size, with the record's header", false,
       [&] {
         ASSERT_TRUE(hostwin::MakeFolderAs("C:\\ProgramData\\TEVRO", kSoundFolder));
         ASSERT_TRUE(hostwin::MakeFileAs(RecordFile(0), kSoundFile));
         hostwin::SetFileText(RecordFile(0),
                              std::string("TVRR\x01\0\0\0", 8) + std::string(4096 - 8, '\0'));
       },
       false},
      {"a machine-wide mutex that refuses this program (it might admit another)", false,
       [&] {
         hostwin::MakeObjectAs(PortMutex(0), hostwin::ObjectKind::kMutex, "D:(A;;GA;;;SY)", false,
                               true);
       },
       false},
      {"another kind of object under the machine-wide mutex's name", true,
       [&] { hostwin::MakeObjectAs(BridgeMutex(0), hostwin::ObjectKind::kMapping, "", false); },
       false},
      {"another user's records' folder that anyone may change", false,
       [&] { ASSERT_TRUE(hostwin::MakeFolderAs("C:\\ProgramData\\TEVRO", kAnyoneAll)); }, false},
      {"a sound records' folder that is a mount point", false,
       [&] {
         ASSERT_TRUE(hostwin::MakeFolderAs("C:\\ProgramData\\TEVRO", kSoundFolder));
         hostwin::SetFileShape("C:\\ProgramData\\TEVRO", 1, true);
       },
       false},
      {"a record file of another kind, of the record's size", false,
       [&] {
         ASSERT_TRUE(hostwin::MakeFolderAs("C:\\ProgramData\\TEVRO", kSoundFolder));
         ASSERT_TRUE(hostwin::MakeFileAs(RecordFile(0), kSoundFile));
         hostwin::SetFileText(RecordFile(0), "MZ" + std::string(30, '\0'));
       },
       false},
      {"no global names in this process's sandbox", false,
       [] { hostwin::SetGlobalNamespace(false); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    hostwin::Reset();
    hostwin::AddFolder("C:\\trace");
    hostwin::SetEnv("TEVRO_TRACE", "C:\\trace\\t.log");
    c.before();
    if (c.bridge) {
      hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
      hostwin::AddBridgeBox(0).userArea[4] = 7;
    } else {
      hostwin::AddPortBox(0, 0xF3);
      PutEeprom(0, 4, {7, 0, 0, 0});
    }
    {
      Library lib;
      EXPECT_EQ(lib.OpenPosInterface(0) != -1, c.reached);
      EXPECT_EQ(lib.GetSerialNumber(), c.reached ? 7u : 0u);
      EXPECT_EQ(lib.SetSerialNumber(0x12345678), c.reached ? 1 : 0);
      if (!c.reached) {
        EXPECT_EQ(hostwin::CountCalls(c.bridge ? "FT_Open" : "CreateFileA"), 0u);  // never opened
      }
    }
    const std::string trace = hostwin::FileText("C:\\trace\\t.log");
    if (c.reached) {
      EXPECT_EQ(trace.find("of the machine cannot be had"),
                trace.rfind("of the machine cannot be had"));
      EXPECT_NE(trace.find("of the machine cannot be had"), std::string::npos);
    } else {
      EXPECT_THAT(trace, ::testing::HasSubstr("lets others change its security, or is not what it "
                                              "should be; the box is not used"));
    }
  }
}

}  // namespace
