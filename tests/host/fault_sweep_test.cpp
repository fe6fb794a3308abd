// Every operation that touches a box, run once per possible failure point: the k-th
// driver transfer fails, the box is pulled out before the k-th request, the k-th D2XX
// call fails, comes back short, or finds the box unplugged. After each run: no handle
// left open, no byte outside the field being written changed, the field holds its old or
// its new value unless the call reported failure, the opening counter never went down,
// and once the session is closed the drawer is released and no timer is left.
#include <string.h>

#include <functional>
#include <iostream>

#include <gmock/gmock.h>

#include "port_fixture.h"

namespace {

enum class Variant { kBridge, kPort };
enum class Field { kNone, kCount, kSerial, kDate };

// The counter's next openings carry into its second byte: a write cut short between the
// bytes leaves a mix of the old value and the new.
constexpr uint32_t kOldCount = 255;
constexpr uint32_t kOldSerial = 0x11223344;
constexpr uint32_t kOldDate = 0x20240607;

struct Op {
  const char* name;
  Field field;
  uint32_t newValue;  // for a setter
  bool closeFirst;    // run on a closed session (the open itself is the operation)
  bool kickFirst;     // a pulse is pending when the operation runs
  // Runs the operation; true when the application was told it succeeded.
  std::function<bool(std::unique_ptr<Library>&)> run;
};

struct Fault {
  const char* name;
  Variant variant;
  std::function<void(uint32_t k)> arm;
  std::function<void()> disarm;
  std::function<size_t()> calls;  // requests (or D2XX calls) made so far
};

const std::vector<Op>& Ops() {
  static const std::vector<Op> ops = {
      {"KasseOpen", Field::kNone, 0, false, false, [](auto& l) { return l->KasseOpen() == 1; }},
      {"KasseClose", Field::kNone, 0, false, false, [](auto& l) { return l->KasseClose() == 1; }},
      {"GetSwitch", Field::kNone, 0, false, false,
       [](auto& l) {
         char flag = 0;
         l->GetSwitch(&flag);
         return flag == 1;
       }},
      {"GetFirmWareVersion", Field::kNone, 0, false, false,
       [](auto& l) {
         char buf[16] = {};
         l->GetFirmWareVersion(buf);
         return buf[0] != 0;
       }},
      {"GetLastOpenCnt", Field::kNone, 0, false, false,
       [](auto& l) { return l->GetLastOpenCnt() != 0; }},
      {"GetSerialNumber", Field::kNone, 0, false, false,
       [](auto& l) { return l->GetSerialNumber() != 0; }},
      {"GetMfgDate", Field::kNone, 0, false, false, [](auto& l) { return l->GetMfgDate() != 0; }},
      {"SetSerialNumber", Field::kSerial, 0xA5A55A5A, false, false,
       [](auto& l) { return l->SetSerialNumber(0xA5A55A5A) == 1; }},
      {"SetMfgDate", Field::kDate, 0x19991231, false, false,
       [](auto& l) { return l->SetMfgDate(0x19991231) == 1; }},
      {"SetLastOpenCnt", Field::kCount, 0x00FFFF00, false, false,
       [](auto& l) { return l->SetLastOpenCnt(0x00FFFF00) == 1; }},
      {"ClosePosInterface", Field::kCount, kOldCount + 1, false, false,
       [](auto& l) { return l->ClosePosInterface() == 1; }},
      {"OpenPosInterface", Field::kNone, 0, true, false,
       [](auto& l) { return l->OpenPosInterface(0) != -1; }},
      {"ScanForPos", Field::kCount, kOldCount + 1, false, true,
       [](auto& l) { return l->ScanForPos() != 0; }},
      {"pulse timer", Field::kNone, 0, false, true,
       [](auto&) {
         hostwin::RunFor(60);
         return true;
       }},
      {"ClosePosInterface with pulse", Field::kCount, kOldCount + 2, false, true,
       [](auto& l) { return l->ClosePosInterface() == 1; }},
      {"unload", Field::kCount, kOldCount + 1, false, false,
       [](auto& l) {
         l.reset();
         return true;
       }},
  };
  return ops;
}

std::vector<Fault> Faults() {
  auto transferFails = [](uint32_t k) {
    auto seen = std::make_shared<uint32_t>(0);
    hostwin::OnDeviceRequest([seen, k](int, uint32_t, const uint8_t*) { return ++*seen != k; });
  };
  auto requests = [] { return hostwin::CountCalls("DeviceIoControl"); };
  return {
      {"transfer fails", Variant::kPort, transferFails, [] { hostwin::OnDeviceRequest(nullptr); },
       requests},
      {"pulled out", Variant::kPort,
       [](uint32_t k) { sim::PortBoxPullOutBefore(hostwin::PortBoxAt(0), k); },
       [] { sim::PortBoxPullOutBefore(hostwin::PortBoxAt(0), 0); }, requests},
      {"FT call fails", Variant::kBridge,
       [](uint32_t k) { hostwin::FailFtCall(k, hostwin::FtFault::kError); },
       [] { hostwin::FailFtCall(0, hostwin::FtFault::kError); }, [] { return hostwin::FtCalls(); }},
      {"FT call short", Variant::kBridge,
       [](uint32_t k) { hostwin::FailFtCall(k, hostwin::FtFault::kShort); },
       [] { hostwin::FailFtCall(0, hostwin::FtFault::kShort); }, [] { return hostwin::FtCalls(); }},
      {"unplugged", Variant::kBridge,
       [](uint32_t k) { hostwin::FailFtCall(k, hostwin::FtFault::kUnplug); },
       [] { hostwin::FailFtCall(0, hostwin::FtFault::kUnplug); },
       [] { return hostwin::FtCalls(); }},
  };
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLe32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The box's memory as the library sees it: the EEPROM (port) or the user area (bridge).
uint8_t* Memory(Variant v) {
  return v == Variant::kPort ? hostwin::PortBoxAt(0).eeprom.memory
                             : hostwin::BridgeBoxAt(0).userArea;
}
size_t MemorySize(Variant v) { return v == Variant::kPort ? sim::kEepromBytes : 64; }

// Bytes of a field in memory.
std::vector<size_t> FieldBytes(Variant v, Field f) {
  switch (f) {
    case Field::kCount:
      return {0, 1, 2, 3};
    case Field::kSerial:
      return {4, 5, 6, 7};
    case Field::kDate:
      if (v == Variant::kBridge) return {8, 9, 12, 13, 14, 15};
      return {8, 9, 10, 11};
    case Field::kNone:
      break;
  }
  return {};
}

uint32_t ReadField(Variant v, Field f) {
  const uint8_t* m = Memory(v);
  switch (f) {
    case Field::kCount:
      return GetLe32(m);
    case Field::kSerial:
      return GetLe32(m + 4);
    case Field::kDate:
      if (v == Variant::kBridge) return m[8] | m[9] << 8 | GetLe32(m + 12) << 16;
      return GetLe32(m + 8);
    case Field::kNone:
      break;
  }
  return 0;
}

void BuildWorld(Variant v) {
  hostwin::Reset();
  if (v == Variant::kBridge) {
    hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
    hostwin::AddBridgeBox(0, 64);
  } else {
    // A part that programs each byte for 3 ms: every write meets it busy.
    hostwin::AddPortBox(0, 0xF3).eeprom.programUs = 3000;
  }
  uint8_t* m = Memory(v);
  for (size_t i = 0; i < MemorySize(v); ++i) m[i] = static_cast<uint8_t>(0xC0 ^ i);
  PutLe32(m, kOldCount);
  PutLe32(m + 4, kOldSerial);
  if (v == Variant::kBridge) {
    m[8] = static_cast<uint8_t>(kOldDate);
    m[9] = static_cast<uint8_t>(kOldDate >> 8);
    PutLe32(m + 12, kOldDate >> 16);
  } else {
    PutLe32(m + 8, kOldDate);
  }
}

// Loads the library and brings the session to where the operation starts. A kick whose
// pulse has ended is always made, so the close has an opening to write back.
std::unique_ptr<Library> Prepare(const Op& op) {
  auto lib = std::make_unique<Library>();
  EXPECT_NE(lib->OpenPosInterface(0), -1);
  EXPECT_EQ(lib->KasseOpen(), 1);
  hostwin::RunFor(60);
  if (op.closeFirst) lib->ClosePosInterface();
  if (op.kickFirst) {
    EXPECT_EQ(lib->KasseOpen(), 1);
  }
  return lib;
}

struct Counters {
  size_t runs = 0;
  size_t faults = 0;
  size_t violations = 0;
};

class FaultSweepTest : public WorldTest {
 protected:
  static Counters totals_;
  static void TearDownTestSuite() {
    std::cout << "fault sweep: " << totals_.runs << " operations run, " << totals_.faults
              << " faults injected, " << totals_.violations << " invariant violations\n";
  }

  void Sweep(const Fault& fault) {
    for (const Op& op : Ops()) {
      if (fault.variant == Variant::kBridge && strcmp(op.name, "pulse timer") == 0) continue;
      // A clean run tells how many failure points the operation has.
      BuildWorld(fault.variant);
      size_t points = 0;
      {
        auto lib = Prepare(op);
        size_t before = fault.calls();
        op.run(lib);
        points = fault.calls() - before;
      }
      for (uint32_t k = 1; k <= points + 1; ++k) RunOnce(fault, op, k);
    }
  }

  void RunOnce(const Fault& fault, const Op& op, uint32_t k) {
    SCOPED_TRACE(std::string(fault.name) + " at call " + std::to_string(k) + " of " + op.name);
    const Variant v = fault.variant;
    BuildWorld(v);
    auto lib = Prepare(op);
    std::vector<uint8_t> before(Memory(v), Memory(v) + MemorySize(v));
    uint32_t oldField = ReadField(v, op.field);
    int failuresBefore =
        ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();

    fault.arm(k);
    bool reported = op.run(lib);
    fault.disarm();
    ++totals_.runs;
    ++totals_.faults;

    EXPECT_EQ(hostwin::OpenDeviceHandles(), 0);
    EXPECT_EQ(hostwin::OpenBridgeHandles(), 0);
    std::vector<size_t> field = FieldBytes(v, op.field);
    for (size_t i = 0; i < before.size(); ++i) {
      if (std::find(field.begin(), field.end(), i) != field.end()) continue;
      EXPECT_EQ(Memory(v)[i], before[i]) << "byte " << i << " outside the field changed";
    }
    uint32_t now = ReadField(v, op.field);
    if (op.field == Field::kCount) {
      EXPECT_GE(now, oldField) << "the opening counter went down";
    } else if (op.field != Field::kNone && reported) {
      EXPECT_TRUE(now == oldField || now == op.newValue)
          << std::hex << "torn field 0x" << now << " reported as written";
    }

    // Close the session and unload; the box must be left safe.
    if (lib) lib->ClosePosInterface();
    lib.reset();
    EXPECT_EQ(hostwin::OpenDeviceHandles(), 0);
    EXPECT_EQ(hostwin::OpenBridgeHandles(), 0);
    EXPECT_EQ(hostwin::ActiveTimers(), 0u);
    if (v == Variant::kPort) {
      EXPECT_EQ(hostwin::PortBoxAt(0).drawerLine, 1) << "drawer energised";
    }
    if (op.field != Field::kCount || op.newValue > kOldCount) {
      EXPECT_GE(ReadField(v, Field::kCount), kOldCount) << "the opening counter went down";
    }
    // A close's openings reach a box that is still there exactly once, however it failed.
    const bool there =
        v == Variant::kPort ? hostwin::PortBoxAt(0).present : hostwin::BridgeBoxAt(0).present;
    if (there && strncmp(op.name, "ClosePosInterface", 17) == 0) {
      EXPECT_EQ(ReadField(v, Field::kCount), op.newValue) << "openings lost or counted twice";
    }
    for (size_t i = 16; i < MemorySize(v); ++i) {
      EXPECT_EQ(Memory(v)[i], before[i]) << "byte " << i << " beyond the record changed";
    }
    int failuresAfter =
        ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    if (failuresAfter != failuresBefore) ++totals_.violations;
  }
};

Counters FaultSweepTest::totals_;

TEST_F(FaultSweepTest, PortTransferFailsAtEveryPoint) { Sweep(Faults()[0]); }
TEST_F(FaultSweepTest, PortBoxPulledOutAtEveryPoint) { Sweep(Faults()[1]); }
TEST_F(FaultSweepTest, BridgeCallFailsAtEveryPoint) { Sweep(Faults()[2]); }
TEST_F(FaultSweepTest, BridgeCallShortAtEveryPoint) { Sweep(Faults()[3]); }
TEST_F(FaultSweepTest, BridgeUnpluggedAtEveryPoint) { Sweep(Faults()[4]); }

}  // namespace
