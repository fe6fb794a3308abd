// Checks of the stand-in ftd2xx.dll: loaded from the system folder, its state shared by
// processes (and by the control tool) through the state file, the D2XX calls as the library
// makes them, and the parts a second process plays.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ftd2xx/bridge_world.h"
#include "sim_checks.h"
#include "support/check_support.h"

using namespace bridgesim;

namespace e2e {
namespace {

constexpr DWORD kChildTimeoutMs = 30000;
constexpr DWORD kHoldMs = 30000;
constexpr ULONG kReadTimeoutMs = 50;
constexpr uint32_t kUserAreaBytes = 16;
const uint8_t kKick[5] = {0x1B, 0x70, 0x00, 0x61, 0x62};
const uint8_t kSwitchQuery[3] = {0x1B, 0x76, 0x00};

uint8_t UserAreaPattern(uint32_t i) { return static_cast<uint8_t>(i * 17 + 0x5A); }

// Plays a child role in a second process; its output goes to *output, or is dropped.
bool Child(const std::string& arguments, DWORD* code, std::string* output = nullptr) {
  std::string dropped;
  return RunProcess(SelfCommand() + " --child " + arguments, kChildTimeoutMs, code,
                    output != nullptr ? output : &dropped);
}

bool EndsWithSystemFolder(HMODULE module) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(module, path, sizeof path);
  if (n == 0) return false;
  for (DWORD i = 0; i < n; ++i) {
    if (path[i] >= 'A' && path[i] <= 'Z') path[i] = static_cast<char>(path[i] - 'A' + 'a');
  }
  return strstr(path, "\\system32\\ftd2xx.dll") != nullptr;
}

// The last logged call of `kind` by process `pid` (any process but ours when pid is 0).
bool FindCall(const World& world, uint32_t from, CallKind kind, uint32_t pid, Call* found) {
  bool any = false;
  for (uint32_t seq = from; seq != world.callCount; ++seq) {
    const Call& call = world.calls[seq % kLogCapacity];
    const bool byPid = pid != 0 ? call.pid == pid : call.pid != GetCurrentProcessId();
    if (call.kind == kind && byPid) {
      *found = call;
      any = true;
    }
  }
  return any;
}

void CrossProcessChecks(const D2xx& d2xx, WorldView& view, const std::string& simctl) {
  World& world = *view.world;
  const uint32_t mark = world.callCount;
  DWORD code = 1;
  bool ended = Child("kick 0", &code);
  Check(ended && code == 0, "bridge: a second process opens box 0 and writes the kick",
        "ended=%d code=%lu", ended, code);
  Call call;
  WorldLock(view);
  const bool logged = FindCall(world, mark, kCallWrite, 0, &call);
  const uint32_t kicks = world.boxes[0].kicks;
  WorldUnlock(view);
  Check(logged && call.status == 0 && call.dataLength == 5 && memcmp(call.data, kKick, 5) == 0,
        "bridge: the kick 1B 70 00 61 62 is in the shared call log, from the other process");
  Check(kicks == 1, "bridge: the box counted the kick", "kicks=%u", kicks);

  Check(RunTool(simctl, "bridge set 0 switch=0x42"), "bridge: simctl bridge set 0 switch=0x42");
  std::string output;
  ended = Child("switch 0", &code, &output);
  Check(ended && code == 0 && output.find("reply=42") != std::string::npos,
        "bridge: a second process reads the switch reply set by simctl", "code=%lu output '%s'",
        code, output.c_str());

  ended = Child("ua-write 0", &code);
  Check(ended && code == 0, "bridge: a second process writes the user area");
  FtHandle handle = nullptr;
  uint8_t area[kUserAreaBytes] = {};
  DWORD got = 0;
  FtStatus status = d2xx.Open(0, &handle);
  FtStatus readStatus = status == 0 ? d2xx.EE_UARead(handle, area, kUserAreaBytes, &got) : status;
  if (status == 0) d2xx.Close(handle);
  bool same = got == kUserAreaBytes;
  for (uint32_t i = 0; i < kUserAreaBytes && same; ++i) same = area[i] == UserAreaPattern(i);
  Check(readStatus == 0 && same, "bridge: this process reads back the other's user area",
        "status=%lu got=%lu first=%02x", readStatus, got, area[0]);
  Check(RunTool(simctl, "bridge ua 0", &output) && output.find("5a 6b 7c") == 0,
        "bridge: simctl bridge ua prints the same bytes", "output '%s'", output.c_str());
}

void CallChecks(const D2xx& d2xx, WorldView& view, const std::string& simctl) {
  World& world = *view.world;
  FtHandle handle = nullptr;
  FtStatus status = d2xx.Open(0, &handle);
  Check(status == 0, "bridge: FT_Open 0", "status=%lu", status);
  if (status != 0) return;

  const bool settings = d2xx.SetBaudRate(handle, 9600) == 0 &&
                        d2xx.SetTimeouts(handle, kReadTimeoutMs, 0) == 0 &&
                        d2xx.SetDataCharacteristics(handle, 8, 2, 0) == 0 &&
                        d2xx.SetFlowControl(handle, 0, 0, 0) == 0;
  DWORD size = 0;
  const FtStatus sizeStatus = d2xx.EE_UASize(handle, &size);
  WorldLock(view);
  const sim::BridgeBox box = world.boxes[0];
  WorldUnlock(view);
  Check(settings && box.baud == 9600 && box.readTimeoutMs == kReadTimeoutMs &&
            box.wordLength == 8 && box.stopBits == 2 && box.parity == 0,
        "bridge: line settings land in the shared box");
  Check(sizeStatus == 0 && size == kUserAreaBytes, "bridge: FT_EE_UASize reports 16",
        "status=%lu size=%lu", sizeStatus, size);

  // A second process cannot open a box this one holds.
  DWORD code = 0;
  bool ended = Child("kick 0", &code);
  Check(ended && code != 0, "bridge: FT_Open in another process fails while the box is open");

  // No reply waiting: FT_Read waits out the read timeout and delivers nothing.
  d2xx.Purge(handle, 1);
  uint8_t byte = 0;
  DWORD got = 99;
  const uint64_t startUs = NowUs();
  status = d2xx.Read(handle, &byte, 1, &got);
  const uint64_t tookMs = (NowUs() - startUs) / 1000u;
  // At least the timeout: how much longer is the machine's speed, printed.
  printf("  FT_Read with nothing to read returned after %llu ms\n",
         static_cast<unsigned long long>(tookMs));
  Check(status == 0 && got == 0 && tookMs >= kReadTimeoutMs,
        "bridge: FT_Read with nothing to read waits out the 50 ms read timeout",
        "status=%lu got=%lu took=%llu ms", status, got, static_cast<unsigned long long>(tookMs));

  DWORD written = 0;
  status = d2xx.Write(handle, const_cast<uint8_t*>(kSwitchQuery), 3, &written);
  got = 0;
  const FtStatus replyStatus = d2xx.Read(handle, &byte, 1, &got);
  Check(status == 0 && written == 3 && replyStatus == 0 && got == 1 && byte == 0x42,
        "bridge: the switch query is answered with the configured reply",
        "write=%lu/%lu read=%lu/%lu byte=%02x", status, written, replyStatus, got, byte);

  DWORD rx = 9;
  DWORD tx = 9;
  DWORD events = 9;
  status = d2xx.GetStatus(handle, &rx, &tx, &events);
  Check(status == 0 && rx == 0 && tx == 0, "bridge: FT_GetStatus reports empty queues");
  RunTool(simctl, "bridge set 0 tx-queue=3 write-limit=4");
  status = d2xx.GetStatus(handle, &rx, &tx, &events);
  Check(status == 0 && tx == 3, "bridge: a stuck transmit queue set by simctl is reported",
        "tx=%lu", tx);
  status = d2xx.Write(handle, const_cast<uint8_t*>(kKick), 5, &written);
  Check(status == 0 && written == 4, "bridge: a write limit of 4 cuts the kick short",
        "status=%lu written=%lu", status, written);
  RunTool(simctl, "bridge set 0 faults=clear");

  Check(d2xx.Close(handle) == 0, "bridge: FT_Close of the open handle");
  Check(d2xx.Close(handle) != 0, "bridge: FT_Close of a handle already closed fails harmlessly");
  Check(d2xx.Close(reinterpret_cast<FtHandle>(static_cast<intptr_t>(-1))) != 0 &&
            d2xx.Close(nullptr) != 0 && d2xx.Close(reinterpret_cast<FtHandle>(0x12345678)) != 0,
        "bridge: FT_Close of -1, null or a made-up handle fails harmlessly");
  ended = Child("kick 0", &code);
  Check(ended && code == 0, "bridge: the other process opens the box once this one closed it");

  status = d2xx.Open(3, &handle);
  Check(status == kFtDeviceNotFound, "bridge: FT_Open of an absent box reports device not found",
        "status=%lu", status);
  status = d2xx.Open(10, &handle);
  Check(status != 0, "bridge: FT_Open of device number 10 fails");

  RunTool(simctl, "bridge set 0 open-failures=1");
  const FtStatus firstOpen = d2xx.Open(0, &handle);
  const FtStatus secondOpen = firstOpen == 0 ? firstOpen : d2xx.Open(0, &handle);
  if (secondOpen == 0) d2xx.Close(handle);
  Check(firstOpen != 0 && secondOpen == 0, "bridge: an open failure set by simctl fails one open");
}

// Faults armed for the k-th D2XX call, as the host stand-in arms them.
void ArmedFaultChecks(const D2xx& d2xx, const std::string& simctl) {
  FtHandle handle = nullptr;
  DWORD written = 0;
  Check(RunTool(simctl, "bridge fault-at 2 error"), "bridge: simctl bridge fault-at 2 error");
  FtStatus openStatus = d2xx.Open(0, &handle);
  FtStatus status = d2xx.Write(handle, const_cast<uint8_t*>(kKick), 5, &written);
  FtStatus next = d2xx.Write(handle, const_cast<uint8_t*>(kKick), 5, &written);
  d2xx.Close(handle);
  Check(openStatus == 0 && status == kFtIoError && next == 0,
        "bridge: an error armed for the 2nd call fails exactly that call",
        "open=%lu write=%lu next=%lu", openStatus, status, next);

  RunTool(simctl, "bridge fault-at 2 short");
  openStatus = d2xx.Open(0, &handle);
  written = 0;
  status = d2xx.Write(handle, const_cast<uint8_t*>(kKick), 5, &written);
  d2xx.Close(handle);
  Check(openStatus == 0 && status == 0 && written == 4,
        "bridge: a short transfer armed for a write takes one byte less", "status=%lu written=%lu",
        status, written);

  RunTool(simctl, "bridge fault-at 2 unplug");
  openStatus = d2xx.Open(0, &handle);
  status = d2xx.Write(handle, const_cast<uint8_t*>(kKick), 5, &written);
  const FtStatus closeStatus = d2xx.Close(handle);
  const FtStatus reopen = d2xx.Open(0, &handle);
  Check(openStatus == 0 && status == kFtInvalidHandle && closeStatus == 0 &&
            reopen == kFtDeviceNotFound,
        "bridge: an unplug armed for a call pulls the box out before it",
        "open=%lu write=%lu close=%lu reopen=%lu", openStatus, status, closeStatus, reopen);
  RunTool(simctl, "bridge add 0");
  status = d2xx.Open(0, &handle);
  if (status == 0) d2xx.Close(handle);
  Check(status == 0, "bridge: the box opens again once plugged back in", "status=%lu", status);
}

// A process that dies holding the box open does not keep it.
void DeadHolderCheck(const D2xx& d2xx) {
  char eventName[64];
  snprintf(eventName, sizeof eventName, "SimCheckHolding-%lu", GetCurrentProcessId());
  HANDLE holding = CreateEventA(nullptr, TRUE, FALSE, eventName);
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  std::string line = SelfCommand() + " --child hold 0 " + eventName;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    Check(false, "bridge: the holding process starts");
    CloseHandle(holding);
    return;
  }
  const bool held = WaitForSingleObject(holding, kChildTimeoutMs) == WAIT_OBJECT_0;
  TerminateProcess(process.hProcess, 9);
  WaitForSingleObject(process.hProcess, kChildTimeoutMs);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(holding);
  FtHandle handle = nullptr;
  const FtStatus status = d2xx.Open(0, &handle);
  if (status == 0) d2xx.Close(handle);
  Check(held && status == 0, "bridge: a box left open by a killed process can be opened again",
        "held=%d status=%lu", held, status);
}

// --- child roles ---------------------------------------------------------------------------

int KickChild(const D2xx& d2xx, int box) {
  FtHandle handle = nullptr;
  if (d2xx.Open(box, &handle) != 0) return 3;
  DWORD written = 0;
  const FtStatus status = d2xx.Write(handle, const_cast<uint8_t*>(kKick), 5, &written);
  d2xx.Close(handle);
  printf("kick status=%lu written=%lu\n", status, written);
  return status == 0 && written == 5 ? 0 : 1;
}

int SwitchChild(const D2xx& d2xx, int box) {
  FtHandle handle = nullptr;
  if (d2xx.Open(box, &handle) != 0) return 3;
  d2xx.SetTimeouts(handle, kReadTimeoutMs, 0);
  d2xx.Purge(handle, 1);
  DWORD written = 0;
  d2xx.Write(handle, const_cast<uint8_t*>(kSwitchQuery), 3, &written);
  uint8_t byte = 0;
  DWORD got = 0;
  const FtStatus status = d2xx.Read(handle, &byte, 1, &got);
  d2xx.Close(handle);
  if (status != 0 || got != 1) {
    printf("reply=none\n");
    return 1;
  }
  printf("reply=%02x\n", byte);
  return 0;
}

int UserAreaChild(const D2xx& d2xx, int box) {
  FtHandle handle = nullptr;
  if (d2xx.Open(box, &handle) != 0) return 3;
  uint8_t area[kUserAreaBytes];
  for (uint32_t i = 0; i < kUserAreaBytes; ++i) area[i] = UserAreaPattern(i);
  const FtStatus status = d2xx.EE_UAWrite(handle, area, kUserAreaBytes);
  d2xx.Close(handle);
  return status == 0 ? 0 : 1;
}

int HoldChild(const D2xx& d2xx, int box, const char* eventName) {
  FtHandle handle = nullptr;
  if (d2xx.Open(box, &handle) != 0) return 3;
  HANDLE holding = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
  if (holding == nullptr) return 4;
  SetEvent(holding);
  Sleep(kHoldMs);  // ended by the parent long before this runs out
  return 0;
}

}  // namespace

void BridgeChecks(const std::string& simctl) {
  Check(RunTool(simctl, "bridge reset-all") && RunTool(simctl, "bridge add 0") &&
            RunTool(simctl, "bridge set 0 switch=open"),
        "bridge: simctl sets up box 0");
  D2xx d2xx;
  int bound = 0;
  const bool loaded = BindD2xx("ftd2xx.dll", d2xx, &bound);
  Check(loaded && EndsWithSystemFolder(d2xx.module),
        "bridge: ftd2xx.dll loads from the system folder");
  Check(bound == 13, "bridge: all 13 D2XX functions are exported by name", "bound %d", bound);
  if (!loaded || bound != 13) return;

  WorldView view;
  if (!Check(WorldOpen(view), "bridge: the shared state file maps")) return;
  CrossProcessChecks(d2xx, view, simctl);
  CallChecks(d2xx, view, simctl);
  ArmedFaultChecks(d2xx, simctl);
  DeadHolderCheck(d2xx);
  WorldClose(view);
}

int ChildMain(int argc, char** argv) {
  if (argc < 2) return 2;
  const char* role = argv[0];
  const int box = atoi(argv[1]);
  if (strcmp(role, "port-kick") == 0) return PortKickChild(static_cast<uint32_t>(box));
  D2xx d2xx;
  int bound = 0;
  if (!BindD2xx("ftd2xx.dll", d2xx, &bound) || bound != 13) return 5;
  if (strcmp(role, "kick") == 0) return KickChild(d2xx, box);
  if (strcmp(role, "switch") == 0) return SwitchChild(d2xx, box);
  if (strcmp(role, "ua-write") == 0) return UserAreaChild(d2xx, box);
  if (strcmp(role, "hold") == 0 && argc == 3) return HoldChild(d2xx, box, argv[2]);
  return 2;
}

}  // namespace e2e
