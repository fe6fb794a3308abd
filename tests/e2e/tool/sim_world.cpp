// Setting up and inspecting the simulated boxes for the tool's checks.
#include "sim_world.h"

#include <string.h>

using namespace drelvansim;
using namespace bridgesim;

namespace toolcheck {

const Identity kBridgeRecord = {41, 12345, 20240115};
const Identity kPort0Record = {7, 777001, 20230301};
const Identity kPort1Record = {0, 777002, 20230615};

namespace {

constexpr uint8_t kPortStatus = 0xF3;
constexpr uint8_t kBridgeDrawerOpenReply = 0x00;
constexpr uint8_t kBridgeDrawerClosedReply = 0x7D;

void PutLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool Configure(SimWorld& world, const BoxConfig& config) {
  return ControlConfigure(world.control, config);
}

bool AddPort(SimWorld& world, uint32_t box, const Identity& record) {
  BoxConfig config = NoChange(box);
  config.fields = kConfigPresent | kConfigStatus | kConfigSwitch;
  config.present = 1;
  config.status = kPortStatus;
  config.switchClosed = 0;
  uint8_t bytes[kRecordBytes];
  PortRecordBytes(record, bytes);
  return Configure(world, config) && ControlEepromWrite(world.control, box, 0, bytes, sizeof bytes);
}

// Runs `change` on the bridge world under its lock.
template <typename Change>
bool WithBridges(SimWorld& world, Change change) {
  if (world.bridges.world == nullptr || !WorldLock(world.bridges)) return false;
  change(*world.bridges.world);
  WorldUnlock(world.bridges);
  return true;
}

}  // namespace

void PortRecordBytes(const Identity& record, uint8_t (&bytes)[kRecordBytes]) {
  PutLe32(bytes + 0, record.openCount);
  PutLe32(bytes + 4, record.serialNumber);
  PutLe32(bytes + 8, record.mfgDate);
}

// Count, serial number, date bits 0-15, two spare bytes, date bits 16-31 as a 32-bit word.
void BridgeRecordBytes(const Identity& record, uint8_t (&bytes)[kUserAreaBytes]) {
  memset(bytes, 0, sizeof bytes);
  PutLe32(bytes + 0, record.openCount);
  PutLe32(bytes + 4, record.serialNumber);
  bytes[8] = static_cast<uint8_t>(record.mfgDate);
  bytes[9] = static_cast<uint8_t>(record.mfgDate >> 8);
  PutLe32(bytes + 12, record.mfgDate >> 16);
}

bool OpenSimWorld(SimWorld& world) {
  world.control = ControlOpen();
  if (world.control == INVALID_HANDLE_VALUE) return false;
  return WorldOpen(world.bridges);
}

void CloseSimWorld(SimWorld& world) {
  if (world.control != INVALID_HANDLE_VALUE) ControlClose(world.control);
  world.control = INVALID_HANDLE_VALUE;
  if (world.bridges.world != nullptr) WorldClose(world.bridges);
}

bool ResetWorld(SimWorld& world) {
  if (!ControlResetAll(world.control)) return false;
  if (!AddPort(world, 0, kPort0Record) || !AddPort(world, 1, kPort1Record)) return false;
  if (!ControlClearLog(world.control)) return false;
  return WithBridges(world, [](World& w) {
    WorldReset(w);
    WorldMakeBox(w, 0, kUserAreaBytes);
    uint8_t bytes[kUserAreaBytes];
    BridgeRecordBytes(kBridgeRecord, bytes);
    memcpy(w.boxes[0].userArea, bytes, sizeof bytes);
    w.boxes[0].switchReply = kBridgeDrawerClosedReply;
  });
}

bool SetPortPresent(SimWorld& world, uint32_t box, bool present) {
  BoxConfig config = NoChange(box);
  config.fields = kConfigPresent;
  config.present = present ? 1 : 0;
  return Configure(world, config);
}

bool SetPortDrawerOpen(SimWorld& world, uint32_t box, bool drawerOpen) {
  BoxConfig config = NoChange(box);
  config.fields = kConfigSwitch;
  config.switchClosed = drawerOpen ? 1 : 0;
  return Configure(world, config);
}

bool ReadPortEeprom(SimWorld& world, uint32_t box, uint8_t (&memory)[kEepromBytes]) {
  return ControlEepromRead(world.control, box, memory);
}

bool QueryPort(SimWorld& world, uint32_t box, BoxInfo& info) {
  return ControlQuery(world.control, box, info);
}

bool SetBridgePresent(SimWorld& world, uint32_t box, bool present) {
  return WithBridges(world, [&](World& w) {
    for (HandleSlot& slot : w.handles) {
      if (slot.inUse && slot.box == box) slot.inUse = 0;
    }
    w.boxes[box].present = present;
  });
}

bool SetBridgeDrawerOpen(SimWorld& world, uint32_t box, bool drawerOpen) {
  return WithBridges(world, [&](World& w) {
    w.boxes[box].switchReply = drawerOpen ? kBridgeDrawerOpenReply : kBridgeDrawerClosedReply;
  });
}

bool ReadBridge(SimWorld& world, uint32_t box, sim::BridgeBox& copy) {
  return WithBridges(world, [&](World& w) { copy = w.boxes[box]; });
}

LogMark Mark(SimWorld& world) {
  LogMark mark = {0, 0};
  SimInfo info;
  if (ControlInfo(world.control, info)) mark.portEvents = info.eventCount;
  WithBridges(world, [&](World& w) { mark.bridgeCalls = w.callCount; });
  return mark;
}

std::vector<Event> PortEventsSince(SimWorld& world, const LogMark& mark) {
  std::vector<Event> events(drelvansim::kLogCapacity);
  uint32_t returned = 0;
  uint32_t next = 0;
  if (!ControlReadLog(world.control, mark.portEvents, events.data(), drelvansim::kLogCapacity,
                      &returned, &next)) {
    returned = 0;
  }
  events.resize(returned);
  return events;
}

std::vector<Call> BridgeCallsSince(SimWorld& world, const LogMark& mark) {
  std::vector<Call> calls;
  WithBridges(world, [&](World& w) {
    for (uint32_t seq = mark.bridgeCalls; seq != w.callCount; ++seq) {
      const Call& call = w.calls[seq % bridgesim::kLogCapacity];
      if (call.kind != kCallConfig) calls.push_back(call);
    }
  });
  return calls;
}

std::vector<Event> DrawerChanges(const std::vector<Event>& events, uint32_t box) {
  std::vector<Event> changes;
  for (const Event& e : events) {
    if (e.kind == kEventDrawer && e.box == box) changes.push_back(e);
  }
  return changes;
}

}  // namespace toolcheck
