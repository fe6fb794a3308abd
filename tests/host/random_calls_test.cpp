// Seeded random call sequences over all 26 exports with arbitrary arguments, random
// device faults, unplugging and message dispatch. After every call: no handle left open,
// nothing outside the identity records changed. At unload: no timer left and every drawer
// released.
#include <random>

#include <gmock/gmock.h>

#include "port_fixture.h"

namespace {

constexpr int kSeeds = 24;
constexpr int kCallsPerSeed = 400;

class RandomCallsTest : public PortTest {
 protected:
  void BuildWorld() {
    hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
    for (int n = 0; n < 2; ++n) {
      sim::BridgeBox& b = hostwin::AddBridgeBox(n, 64);
      for (int i = 0; i < 64; ++i) b.userArea[i] = static_cast<uint8_t>(0x30 + i + n);
      sim::PortBox& p = hostwin::AddPortBox(n, 0xF3);
      p.eeprom.programUs = n == 0 ? 2000 : 6000;  // the two ends of the parts' range
      for (uint32_t i = 0; i < sim::kEepromBytes; ++i)
        p.eeprom.memory[i] = static_cast<uint8_t>(i ^ n);
    }
  }

  void CheckBetweenCalls(const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(hostwin::OpenDeviceHandles(), 0);
    ASSERT_EQ(hostwin::OpenBridgeHandles(), 0);
    for (int n = 0; n < 2; ++n) {
      for (int i = 16; i < 64; ++i) {
        ASSERT_EQ(hostwin::BridgeBoxAt(n).userArea[i], static_cast<uint8_t>(0x30 + i + n));
      }
      for (uint32_t i = 12; i < sim::kEepromBytes; ++i) {
        ASSERT_EQ(Box(n).eeprom.memory[i], static_cast<uint8_t>(i ^ n)) << "EEPROM byte " << i;
      }
      ASSERT_EQ(Box(n).unknown, 0u);
    }
  }
};

TEST_F(RandomCallsTest, AnySequenceLeavesTheBoxesSafe) {
  size_t calls = 0, faults = 0;
  for (int seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    hostwin::Reset();
    BuildWorld();
    std::mt19937 rng(seed);
    auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    auto number = [&]() -> uint8_t { return pick(4) == 0 ? pick(256) : pick(5); };
    auto value = [&]() -> uint32_t { return static_cast<uint32_t>(rng()); };
    char flag = 0;
    char buf[16] = {};
    auto ptr = [&](char* p) { return pick(3) == 0 ? nullptr : p; };

    auto lib = std::make_unique<Library>();
    for (int step = 0; step < kCallsPerSeed; ++step) {
      // Now and then the world misbehaves for the next call.
      switch (pick(12)) {
        case 0:
          hostwin::FailFtCall(1 + pick(8), static_cast<hostwin::FtFault>(pick(3)));
          ++faults;
          break;
        case 1: {
          auto seen = std::make_shared<uint32_t>(0);
          uint32_t k = 1 + pick(300);
          hostwin::OnDeviceRequest(
              [seen, k](int, uint32_t, const uint8_t*) { return ++*seen != k; });
          ++faults;
          break;
        }
        case 2:
          sim::PortBoxPullOutBefore(Box(pick(2)), 1 + pick(300));
          ++faults;
          break;
        case 3:
          for (int n = 0; n < 2; ++n) {
            hostwin::ReplugPortBox(n);
            hostwin::ReplugBridgeBox(n);
          }
          break;
        default:
          break;
      }
      uint32_t which = pick(28);
      std::string what = "call " + std::to_string(which) + " at step " + std::to_string(step);
      switch (which) {
        case 0:
          lib->ScanForPos();
          break;
        case 1:
          lib->GetNumPos();
          break;
        case 2:
          lib->GetFirmWareVersion(ptr(buf));
          break;
        case 3:
          lib->OpenPosInterface(number());
          break;
        case 4:
          lib->OpenPosInterfaceV();
          break;
        case 5:
          lib->KasseOpen();
          break;
        case 6:
          lib->KasseOpenP(reinterpret_cast<void*>(static_cast<uintptr_t>(value())));
          break;
        case 7:
          lib->KasseClose();
          break;
        case 8:
          lib->KasseCloseP(nullptr);
          break;
        case 9:
          lib->GetSwitch(ptr(&flag));
          break;
        case 10:
          lib->GetSwitchP(nullptr, ptr(&flag));
          break;
        case 11:
          lib->GetLastOpenCnt();
          break;
        case 12:
          lib->GetLastOpenCntP(nullptr);
          break;
        case 13:
          lib->GetLocalOpenCnt();
          break;
        case 14:
          lib->GetLocalOpenCntP(nullptr);
          break;
        case 15:
          lib->GetTotalOpenCnt();
          break;
        case 16:
          lib->GetTotalOpenCntP(nullptr);
          break;
        case 17:
          lib->GetSerialNumber();
          break;
        case 18:
          lib->GetSerialNumberP(nullptr);
          break;
        case 19:
          lib->GetMfgDate();
          break;
        case 20:
          lib->GetMfgDateP(nullptr);
          break;
        case 21:
          lib->SetSerialNumber(value());
          break;
        case 22:
          lib->SetMfgDate(value());
          break;
        case 23:
          lib->SetLastOpenCnt(value());
          break;
        case 24:
          lib->ClosePosInterface();
          break;
        case 25:
          lib->ClosePosInterfaceP(nullptr);
          break;
        case 26:
          hostwin::RunFor(pick(120));
          break;
        case 27:
          hostwin::AdvanceMs(pick(120));
          break;
      }
      ++calls;
      hostwin::OnDeviceRequest(nullptr);
      hostwin::FailFtCall(0, hostwin::FtFault::kError);
      CheckBetweenCalls(what);
      if (HasFatalFailure()) return;
    }
    for (int n = 0; n < 2; ++n) {
      hostwin::ReplugPortBox(n);
      hostwin::ReplugBridgeBox(n);
    }
    // End with a pulse pending on a port box: the unload must release it.
    uint32_t bridges = lib->GetNumPos() >> 8;
    if (lib->OpenPosInterface(static_cast<uint8_t>(bridges + pick(2))) != -1) {
      lib->KasseOpen();
    }
    lib.reset();
    EXPECT_EQ(hostwin::ActiveTimers(), 0u);
    EXPECT_EQ(Box(0).drawerLine, 1);
    EXPECT_EQ(Box(1).drawerLine, 1);
    CheckBetweenCalls("after unload");
  }
  // Every failed check above is one invariant violation.
  const testing::TestResult* result =
      testing::UnitTest::GetInstance()->current_test_info()->result();
  int violations = 0;
  for (int i = 0; i < result->total_part_count(); ++i) {
    if (result->GetTestPartResult(i).failed()) ++violations;
  }
  std::cout << "random calls: " << calls << " calls over " << kSeeds << " seeds, " << faults
            << " faults injected, " << violations << " invariant violations\n";
}

}  // namespace
