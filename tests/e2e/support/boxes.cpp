// Setting up and inspecting the simulated boxes for the library checks.
#include "boxes.h"

#include <string.h>

#include "check_support.h"

using namespace drelvansim;

namespace e2e {
namespace {

constexpr uint32_t kUserAreaBytes = 16;
constexpr uint64_t kSettleUs = 2000000;

void PutLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bridgesim::WorldView g_view;
bool g_mapped = false;

// The world, locked; null when it cannot be had. Unlock with Release().
bridgesim::World* Acquire() {
  if (!g_mapped) g_mapped = bridgesim::WorldOpen(g_view);
  if (!g_mapped || !bridgesim::WorldLock(g_view)) return nullptr;
  return g_view.world;
}

void Release() { bridgesim::WorldUnlock(g_view); }

}  // namespace

bool operator==(const Identity& a, const Identity& b) {
  return a.count == b.count && a.serial == b.serial && a.date == b.date;
}

// --- port boxes ----------------------------------------------------------------------------

bool PortPlugIn(HANDLE control, uint32_t box, uint8_t status, bool switchClosed) {
  BoxConfig config = NoChange(box);
  config.fields = kConfigPresent | kConfigStatus | kConfigSwitch;
  config.present = 1;
  config.status = status;
  config.switchClosed = switchClosed ? 1 : 0;
  return ControlConfigure(control, config);
}

bool PortPullOut(HANDLE control, uint32_t box) {
  BoxConfig config = NoChange(box);
  config.fields = kConfigPresent;
  config.present = 0;
  return ControlConfigure(control, config);
}

bool PortWriteIdentity(HANDLE control, uint32_t box, const Identity& identity) {
  uint8_t record[12];
  PutLe32(record, identity.count);
  PutLe32(record + 4, identity.serial);
  PutLe32(record + 8, identity.date);
  return ControlEepromWrite(control, box, 0, record, sizeof record);
}

bool PortReadIdentity(HANDLE control, uint32_t box, Identity* identity) {
  uint8_t memory[kEepromBytes];
  if (!ControlEepromRead(control, box, memory)) return false;
  identity->count = GetLe32(memory);
  identity->serial = GetLe32(memory + 4);
  identity->date = GetLe32(memory + 8);
  return true;
}

bool PortSettled(HANDLE control, uint32_t box, BoxInfo* info) {
  const uint64_t startUs = NowUs();
  for (;;) {
    if (!ControlQuery(control, box, *info)) return false;
    if (info->closes == info->opens) return true;
    if (NowUs() - startUs >= kSettleUs) return false;
    Sleep(5);
  }
}

uint32_t PortLogMark(HANDLE control) {
  SimInfo info;
  return ControlInfo(control, info) ? info.eventCount : 0;
}

std::vector<Event> PortEventsSince(HANDLE control, uint32_t from) {
  std::vector<Event> events(kLogCapacity);
  uint32_t returned = 0;
  uint32_t next = 0;
  if (!ControlReadLog(control, from, events.data(), kLogCapacity, &returned, &next)) returned = 0;
  events.resize(returned);
  return events;
}

std::vector<Pulse> PulsesIn(const std::vector<Event>& events, uint32_t box) {
  std::vector<Pulse> pulses;
  for (const Event& e : events) {
    if (e.kind != kEventDrawer || e.box != box) continue;
    if (e.level == 0) {
      pulses.push_back(Pulse{e.timeUs, 0, e.command[2], 0});
    } else if (!pulses.empty() && pulses.back().highUs == 0) {
      pulses.back().highUs = e.timeUs;
      pulses.back().releasePattern = e.command[2];
    }
  }
  return pulses;
}

bool PortHold(HANDLE control, uint32_t box, uint32_t pid, uint32_t request, HoldCount count) {
  const HoldRequest hold = {box, pid, request, count};
  return ControlHold(control, hold);
}

bool WaitForHold(HANDLE control, HoldPhase phase, HANDLE process, DWORD limitMs, HoldState* state) {
  const uint64_t deadline = NowUs() + static_cast<uint64_t>(limitMs) * 1000u;
  for (;;) {
    if (!ControlHoldState(control, *state)) return false;
    if (state->phase == phase) return true;
    if (NowUs() >= deadline) return false;
    if (process != nullptr && WaitForSingleObject(process, 2) == WAIT_OBJECT_0) {
      return ControlHoldState(control, *state) && state->phase == phase;
    }
    if (process == nullptr) Sleep(2);
  }
}

// --- bridge boxes --------------------------------------------------------------------------

bool BridgeResetAll() {
  bridgesim::World* world = Acquire();
  if (world == nullptr) return false;
  bridgesim::WorldReset(*world);
  Release();
  return true;
}

bool BridgePlugIn(uint32_t box, uint8_t switchReply, uint8_t versionReply) {
  bridgesim::World* world = Acquire();
  if (world == nullptr) return false;
  bridgesim::WorldMakeBox(*world, box, kUserAreaBytes);
  world->boxes[box].switchReply = switchReply;
  world->boxes[box].versionReply = versionReply;
  Release();
  return true;
}

bool BridgePullOut(uint32_t box) {
  bridgesim::World* world = Acquire();
  if (world == nullptr) return false;
  world->boxes[box].present = false;
  Release();
  return true;
}

bool BridgeWriteIdentity(uint32_t box, const Identity& identity, uint8_t byte10, uint8_t byte11) {
  bridgesim::World* world = Acquire();
  if (world == nullptr) return false;
  uint8_t* area = world->boxes[box].userArea;
  PutLe32(area, identity.count);
  PutLe32(area + 4, identity.serial);
  area[8] = static_cast<uint8_t>(identity.date);
  area[9] = static_cast<uint8_t>(identity.date >> 8);
  area[10] = byte10;
  area[11] = byte11;
  PutLe32(area + 12, identity.date >> 16);
  Release();
  return true;
}

bool BridgeReadIdentity(uint32_t box, Identity* identity, uint8_t (*bytes)[16]) {
  bridgesim::World* world = Acquire();
  if (world == nullptr) return false;
  uint8_t area[kUserAreaBytes];
  memcpy(area, world->boxes[box].userArea, sizeof area);
  Release();
  identity->count = GetLe32(area);
  identity->serial = GetLe32(area + 4);
  identity->date = static_cast<uint32_t>(area[8]) | static_cast<uint32_t>(area[9]) << 8 |
                   static_cast<uint32_t>(area[12]) << 16 | static_cast<uint32_t>(area[13]) << 24;
  if (bytes != nullptr) memcpy(*bytes, area, sizeof area);
  return true;
}

bool BridgeSnapshot(uint32_t box, sim::BridgeBox* state, uint32_t* callCount) {
  bridgesim::World* world = Acquire();
  if (world == nullptr) return false;
  *state = world->boxes[box];
  if (callCount != nullptr) *callCount = world->callCount;
  Release();
  return true;
}

uint32_t BridgeCallsBy(uint32_t pid, uint32_t from) {
  bridgesim::World* world = Acquire();
  if (world == nullptr) return 0;
  uint32_t count = 0;
  for (uint32_t seq = from; seq != world->callCount; ++seq) {
    const bridgesim::Call& call = world->calls[seq % bridgesim::kLogCapacity];
    if (call.pid == pid && call.kind != bridgesim::kCallConfig) ++count;
  }
  Release();
  return count;
}

// --- messages ------------------------------------------------------------------------------

bool PumpUntilReleased(uint32_t box, DWORD limitMs) {
  // One control handle for the process: the roles in child processes pump too.
  static HANDLE control = INVALID_HANDLE_VALUE;
  if (control == INVALID_HANDLE_VALUE) control = ControlOpen();
  const uint64_t deadline = NowUs() + static_cast<uint64_t>(limitMs) * 1000u;
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    BoxInfo info;
    if (ControlQuery(control, box, info) && info.drawerLine == 1) return true;
    if (NowUs() >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_ALLINPUT);
  }
}

void PumpFor(DWORD ms) {
  const uint64_t deadline = NowUs() + static_cast<uint64_t>(ms) * 1000u;
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    const uint64_t now = NowUs();
    if (now >= deadline) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>((deadline - now) / 1000u) + 1,
                              QS_ALLINPUT);
  }
}

bool PlugInBoxWithIdentity(HANDLE control, bool bridge, const Identity& identity) {
  if (bridge) {
    return BridgePlugIn(0, sim::kBridgeSwitchState1Reply, sim::kBridgeVersionNew) &&
           BridgeWriteIdentity(0, identity, 0, 0);
  }
  return PortPlugIn(control, 0) && PortWriteIdentity(control, 0, identity);
}

}  // namespace e2e
