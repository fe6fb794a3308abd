#include "world_setup.h"

namespace {

void Put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const uint8_t* at) {
  return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
}

constexpr uint8_t kBridgeSwitchState1Reply = 0x00;
constexpr uint8_t kBridgeSwitchState0Reply = 0x7D;

}  // namespace

sim::BridgeBox& AddBridgeWithRecord(int n, const IdentityValues& record) {
  hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
  sim::BridgeBox& box = hostwin::AddBridgeBox(n);
  Put32(box.userArea + 0, record.openCount);
  Put32(box.userArea + 4, record.serialNumber);
  box.userArea[8] = static_cast<uint8_t>(record.mfgDate);
  box.userArea[9] = static_cast<uint8_t>(record.mfgDate >> 8);
  box.userArea[12] = static_cast<uint8_t>(record.mfgDate >> 16);
  box.userArea[13] = static_cast<uint8_t>(record.mfgDate >> 24);
  return box;
}

IdentityValues BridgeRecord(int n) {
  const uint8_t* ua = hostwin::BridgeBoxAt(n).userArea;
  uint32_t date = ua[8] | ua[9] << 8 | ua[12] << 16 | static_cast<uint32_t>(ua[13]) << 24;
  return IdentityValues{Get32(ua), Get32(ua + 4), date};
}

sim::PortBox& AddPortWithRecord(int index, const IdentityValues& record) {
  sim::PortBox& box = hostwin::AddPortBox(index);
  Put32(box.eeprom.memory + 0, record.openCount);
  Put32(box.eeprom.memory + 4, record.serialNumber);
  Put32(box.eeprom.memory + 8, record.mfgDate);
  return box;
}

IdentityValues PortRecord(int index) {
  const uint8_t* m = hostwin::PortBoxAt(index).eeprom.memory;
  return IdentityValues{Get32(m), Get32(m + 4), Get32(m + 8)};
}

void SetBridgeDrawerOpen(int n, bool open) {
  hostwin::BridgeBoxAt(n).switchReply = open ? kBridgeSwitchState1Reply : kBridgeSwitchState0Reply;
}

void SetPortDrawerOpen(int index, bool open) { hostwin::PortBoxAt(index).switchLow = open; }

size_t DeviceCalls() {
  size_t calls = 0;
  for (const hostwin::TraceEntry& e : hostwin::Trace()) {
    if (e.call == "CreateFileA" || e.call == "DeviceIoControl" ||
        e.call.compare(0, 3, "FT_") == 0) {
      ++calls;
    }
  }
  return calls;
}

void AddStandardBoxes() {
  AddBridgeWithRecord(0, kBridgeRecord);
  AddPortWithRecord(0, kPort0Record);
  AddPortWithRecord(1, kPort1Record);
}
