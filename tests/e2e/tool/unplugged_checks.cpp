// Boxes that are not there: a device number whose box is unplugged, a box pulled out while
// the tool follows its switch, and no box at all (the library's message box at load).
// Each ends with exit code 1 and a message; the boxes that are there are left alone.
#include <string.h>

#include "tool_checks.h"

using namespace drelvansim;

namespace toolcheck {
namespace {

// The information box the library shows when it finds no box at load.
constexpr char kNoBoxCaption[] = "Info from TEVRO.DLL";
constexpr DWORD kFindWindowMs = 20000;

struct Dismisser {
  bool found;
};

DWORD WINAPI DismissNoBoxMessage(LPVOID parameter) {
  Dismisser& d = *static_cast<Dismisser*>(parameter);
  const uint64_t deadline = NowMs() + kFindWindowMs;
  while (NowMs() < deadline) {
    HWND box = FindWindowA("#32770", kNoBoxCaption);
    if (box != nullptr && IsWindowVisible(box)) {
      d.found = true;
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      return 0;
    }
    Sleep(20);
  }
  return 1;
}

void AbsentDeviceChecks(SimWorld& world) {
  const std::string group = "unplugged: driver-port device 2 (port box 1 pulled out)";
  if (!SetUp(world, group) || !Check(SetPortPresent(world, 1, false), group + ": pulled out")) {
    return;
  }
  uint8_t before[kEepromBytes];
  ReadPortEeprom(world, 0, before);

  LogMark mark = Mark(world);
  ToolRun run = Tevro({"kick", "2"});
  std::vector<Event> events = PortEventsSince(world, mark);
  Check(run.ended && run.code == 1 && Contains(run.err, "box 2 could not be opened"),
        group + ": 'tevro kick 2' exits 1 with a message", Describe(run));
  Check(DrawerChanges(events, 0).empty() && DrawerChanges(events, 1).empty(),
        group + ": no drawer moved");

  run = Tevro({"check", "2"});
  Check(run.ended && run.code == 1 && Contains(run.out, "open             failed") &&
            Contains(run.out, "firmware         skipped") &&
            Contains(run.out, "result: 1 step failed"),
        group + ": 'tevro check 2' reports the open failed, skips the rest, exits 1",
        Describe(run));

  run = Tevro({"identity", "2"});
  Check(run.ended && run.code == 1 && Contains(run.err, "could not be opened"),
        group + ": 'tevro identity 2' exits 1", Describe(run));

  run = Tevro({"write", "2", "serial", "99"});
  Check(run.ended && run.code == 1 && Contains(run.err, "could not be opened"),
        group + ": 'tevro write 2 serial 99' exits 1", Describe(run));

  run = Tevro({"list"});
  Check(run.ended && run.code == 0 && Contains(run.out, "boxes found: 1 bridge, 1 driver-port"),
        group + ": 'tevro list' counts the boxes that are there", Describe(run));

  uint8_t after[kEepromBytes];
  Check(ReadPortEeprom(world, 0, after) && memcmp(before, after, sizeof before) == 0 &&
            PortHandlesClosed(world, 0),
        group + ": the port box that is there was left as it was");

  SetPortPresent(world, 1, true);
  uint8_t pulledOut[kEepromBytes];
  uint8_t record[kRecordBytes];
  PortRecordBytes(kPort1Record, record);
  Check(ReadPortEeprom(world, 1, pulledOut) && memcmp(pulledOut, record, sizeof record) == 0,
        group + ": plugged in again, its record is unchanged");
}

// The tool follows the switch of `device`; `pullOut` runs about a second in.
template <typename PullOut>
void PulledOutDuringWatch(SimWorld& world, const std::string& name, uint32_t device,
                          PullOut pullOut) {
  if (!SetUp(world, name)) return;
  ToolProcess process;
  const bool started = StartTool(
      ToolPath(), {"switch", std::to_string(device), "--watch", "--timeout", "4000"}, &process);
  Sleep(1500);
  const bool pulled = started && pullOut();
  const ToolRun run = FinishTool(process, 30000);
  Check(pulled && run.ended && run.code == 1 &&
            Contains(run.err, Format("the switch of box %u could not be read at times", device)) &&
            Contains(run.out, "watch ended (timeout)") && Contains(run.out, ", 1 change\n"),
        name + ": the watch reports the change, runs to its timeout, exits 1", Describe(run));
}

void NoBoxCheck(SimWorld& world) {
  const std::string name = "unplugged: no box at all";
  if (!SetUp(world, name)) return;
  SetPortPresent(world, 0, false);
  SetPortPresent(world, 1, false);
  SetBridgePresent(world, 0, false);
  Dismisser dismisser = {false};
  HANDLE thread = CreateThread(nullptr, 0, DismissNoBoxMessage, &dismisser, 0, nullptr);
  const ToolRun run = Tevro({"list"}, kFindWindowMs + 10000);
  WaitForSingleObject(thread, kFindWindowMs + 1000);
  CloseHandle(thread);
  Check(dismisser.found, name + ": the library shows its message box at load");
  Check(run.ended && run.code == 1 && Contains(run.out, "boxes found: 0 bridge, 0 driver-port") &&
            Contains(run.err, "no box found"),
        name + ": 'tevro list' exits 1 with 'no box found'", Describe(run));
}

}  // namespace

void UnpluggedChecks(SimWorld& world) {
  AbsentDeviceChecks(world);
  PulledOutDuringWatch(world, "unplugged: port box 0 pulled out during 'tevro switch 1 --watch'", 1,
                       [&] { return SetPortPresent(world, 0, false); });
  PulledOutDuringWatch(world, "unplugged: bridge box pulled out during 'tevro switch 0 --watch'", 0,
                       [&] { return SetBridgePresent(world, 0, false); });
  NoBoxCheck(world);
}

}  // namespace toolcheck
