// The drawer kick through tevro.exe on each variant, as the boxes saw it: the bridge box
// receives the kick command once, a driver-port box gets one pulse of about 60 ms that the
// library's timer ends while the tool dispatches messages; the opening lands in the box's
// counter when the tool closes the box. Then waiting for the drawer to be closed again.
#include <string.h>

#include "tool_checks.h"

using namespace drelvansim;

namespace toolcheck {
namespace {

const uint8_t kKickCommand[5] = {0x1B, 0x70, 0x00, 0x61, 0x62};

// The pulse on the drawer line lasts its 60 ms (the tick count the tool's own timing moves in
// steps of 16 ms; the driver logs on the performance counter) and ends before the tool closes
// the box, whose write-back is the first EEPROM traffic after the kick.
constexpr uint64_t kPulseMinUs = 55000;
constexpr uint8_t kPinWriteCommand = 0x15;

// How long after the pulse the simulated cashier closes the drawer.
constexpr DWORD kCashierMs = 1000;

uint32_t Le32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint32_t PortCount(SimWorld& world, uint32_t box) {
  uint8_t memory[kEepromBytes];
  return ReadPortEeprom(world, box, memory) ? Le32(memory) : 0xFFFFFFFFu;
}

uint32_t BridgeCount(SimWorld& world) {
  sim::BridgeBox copy;
  return ReadBridge(world, 0, copy) ? Le32(copy.userArea) : 0xFFFFFFFFu;
}

// One pulse on port box `box`: the line went to 0 and back to 1 once, for kPulseMinUs or
// more, and came back before the close's first EEPROM request. *detail tells what was seen.
bool OnePulse(const std::vector<Event>& events, uint32_t box, std::string* detail) {
  const std::vector<Event> changes = DrawerChanges(events, box);
  if (changes.size() != 2 || changes[0].level != 0 || changes[1].level != 1) {
    *detail = Format("%zu drawer-line changes on port box %u", changes.size(), box);
    return false;
  }
  uint64_t closeUs = 0;
  for (const Event& e : events) {
    if (closeUs == 0 && e.kind == kEventRequest && e.box == box && e.timeUs > changes[0].timeUs &&
        e.command[0] == kPinWriteCommand) {
      closeUs = e.timeUs;
    }
  }
  const uint64_t lowUs = changes[1].timeUs - changes[0].timeUs;
  *detail = Format("line low for %llu us; %s", static_cast<unsigned long long>(lowUs),
                   closeUs == 0                  ? "no write-back seen"
                   : changes[1].timeUs < closeUs ? "released before the write-back"
                                                 : "released after the write-back began");
  return lowUs >= kPulseMinUs && closeUs != 0 && changes[1].timeUs < closeUs;
}

// The kick commands tool process `pid` wrote to bridge box 0.
int KicksWritten(const std::vector<bridgesim::Call>& calls, DWORD pid) {
  int kicks = 0;
  for (const bridgesim::Call& call : calls) {
    if (call.kind == bridgesim::kCallWrite && call.pid == pid && call.box == 0 &&
        call.status == 0 && call.dataLength == sizeof kKickCommand &&
        memcmp(call.data, kKickCommand, sizeof kKickCommand) == 0) {
      ++kicks;
    }
  }
  return kicks;
}

void PortKickCheck(SimWorld& world, uint32_t device, uint32_t box, uint32_t otherBox,
                   uint32_t countBefore) {
  const std::string name = Format("kick: driver-port device %u (port box %u)", device, box);
  const LogMark mark = Mark(world);
  const ToolRun run = Tevro({"kick", std::to_string(device)});
  Check(run.ended && run.code == 0 &&
            Contains(run.out, Format("box %u (driver-port): drawer kicked", device)) &&
            Contains(run.out, Format("openings: 1 this session, %u in all", countBefore + 1)),
        name + ": exit 0, the tool reports the kick and the new total", Describe(run));
  const std::vector<Event> events = PortEventsSince(world, mark);
  std::string detail;
  Check(OnePulse(events, box, &detail),
        name +
            ": the box saw one drawer pulse of 60 ms or more, ended before the tool closed the box",
        detail);
  Check(DrawerChanges(events, otherBox).empty(),
        name + ": the other port box's drawer stayed still");
  Check(PortHandlesClosed(world, box), name + ": every device open was closed again");
  const uint32_t count = PortCount(world, box);
  Check(count == countBefore + 1, name + ": the opening is in the box's counter",
        Format("counter %u, expected %u", count, countBefore + 1));
}

void BridgeKickCheck(SimWorld& world) {
  const std::string name = "kick: bridge device 0";
  const LogMark mark = Mark(world);
  const ToolRun run = Tevro({"kick", "0"});
  Check(run.ended && run.code == 0 && Contains(run.out, "box 0 (bridge): drawer kicked") &&
            Contains(run.out,
                     Format("openings: 1 this session, %u in all", kBridgeRecord.openCount + 1)),
        name + ": exit 0, the tool reports the kick and the new total", Describe(run));
  const int kicks = KicksWritten(BridgeCallsSince(world, mark), run.pid);
  Check(kicks == 1, name + ": the tool's process wrote the kick 1B 70 00 61 62 once",
        Format("%d times", kicks));
  const std::vector<Event> events = PortEventsSince(world, mark);
  Check(DrawerChanges(events, 0).empty() && DrawerChanges(events, 1).empty(),
        name + ": no driver-port drawer moved");
  Check(BridgeHandlesClosed(world, 0), name + ": the box is not left open");
  const uint32_t count = BridgeCount(world);
  Check(count == kBridgeRecord.openCount + 1, name + ": the opening is in the box's counter",
        Format("counter %u", count));
}

// Waits (at most 20 s) until `kicked` is true, then kCashierMs more.
template <typename Kicked>
bool AfterKick(Kicked kicked) {
  const uint64_t deadline = NowMs() + 20000;
  while (!kicked()) {
    if (NowMs() >= deadline) return false;
    Sleep(20);
  }
  Sleep(kCashierMs);
  return true;
}

void PortWaitCheck(SimWorld& world) {
  const std::string name = "wait: driver-port device 1";
  if (!SetUp(world, name)) return;
  // From the kick on the drawer stands open until the cashier closes it.
  SetPortDrawerOpen(world, 0, true);
  const LogMark mark = Mark(world);
  ToolProcess process;
  const bool started =
      StartTool(ToolPath(), {"kick", "1", "--wait", "--timeout", "15000"}, &process);
  const bool closed = started && AfterKick([&] {
                        drelvansim::BoxInfo info;
                        return QueryPort(world, 0, info) && info.drawerPulses > 0;
                      }) &&
                      SetPortDrawerOpen(world, 0, false);
  const ToolRun run = FinishTool(process, 30000);
  const double waited = SecondsAfter(run.out, "drawer closed again after ");
  Check(closed && run.ended && run.code == 0 && waited >= 0.9,
        name + ": exit 0 once the drawer is closed again, about 1 s after the kick",
        Format("waited %.3f s; ", waited) + Describe(run));
  std::string detail;
  Check(OnePulse(PortEventsSince(world, mark), 0, &detail),
        name + ": one drawer pulse of 60 ms or more, ended before the tool closed the box", detail);
  Check(PortCount(world, 0) == kPort0Record.openCount + 1, name + ": the opening is counted");
}

void BridgeWaitCheck(SimWorld& world) {
  const std::string name = "wait: bridge device 0";
  if (!SetUp(world, name)) return;
  SetBridgeDrawerOpen(world, 0, true);
  ToolProcess process;
  const bool started =
      StartTool(ToolPath(), {"kick", "0", "--wait", "--timeout", "15000"}, &process);
  const bool closed = started && AfterKick([&] {
                        sim::BridgeBox copy;
                        return ReadBridge(world, 0, copy) && copy.kicks > 0;
                      }) &&
                      SetBridgeDrawerOpen(world, 0, false);
  const ToolRun run = FinishTool(process, 30000);
  const double waited = SecondsAfter(run.out, "drawer closed again after ");
  Check(closed && run.ended && run.code == 0 && waited >= 0.9,
        name + ": exit 0 once the drawer is closed again, about 1 s after the kick",
        Format("waited %.3f s; ", waited) + Describe(run));
  Check(BridgeCount(world) == kBridgeRecord.openCount + 1, name + ": the opening is counted");
}

void WaitTimeoutCheck(SimWorld& world) {
  const std::string name = "wait: drawer left open at driver-port device 2";
  if (!SetUp(world, name)) return;
  SetPortDrawerOpen(world, 1, true);
  const ToolRun run = Tevro({"kick", "2", "--wait", "--timeout", "1500"});
  Check(run.ended && run.code == 1 && Contains(run.err, "the drawer was still open after") &&
            run.elapsedMs >= 1500,
        name + ": exit 1 after the 1.5 s timeout, with a message", Describe(run));
  Check(PortCount(world, 1) == kPort1Record.openCount + 1,
        name + ": the opening is still written into the box");
  Check(PortHandlesClosed(world, 1), name + ": every device open was closed again");
}

}  // namespace

void KickChecks(SimWorld& world) {
  if (!SetUp(world, "kick")) return;
  BridgeKickCheck(world);
  PortKickCheck(world, 1, 0, 1, kPort0Record.openCount);
  PortKickCheck(world, 2, 1, 0, kPort1Record.openCount);
  PortKickCheck(world, 1, 0, 1, kPort0Record.openCount + 1);
  PortWaitCheck(world);
  BridgeWaitCheck(world);
  WaitTimeoutCheck(world);
}

}  // namespace toolcheck
