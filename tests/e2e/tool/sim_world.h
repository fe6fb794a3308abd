// The simulated boxes as the tool's checks set them up and inspect them: the port boxes
// through the stand-in driver's control device, the bridge boxes through their shared
// state file (TEVRO_SIM_BRIDGES, set by scripts/wine-run).
#ifndef TESTS_E2E_TOOL_SIM_WORLD_H
#define TESTS_E2E_TOOL_SIM_WORLD_H

#include <windows.h>

#include <stdint.h>

#include <vector>

#include "driver/control_client.h"
#include "ftd2xx/bridge_world.h"

namespace toolcheck {

struct SimWorld {
  HANDLE control = INVALID_HANDLE_VALUE;  // the stand-in driver's control device
  bridgesim::WorldView bridges = {};
};

// The identity record as the tool shows it.
struct Identity {
  uint32_t openCount;
  uint32_t serialNumber;
  uint32_t mfgDate;
};

// The boxes every group of checks starts from: bridge box 0 (device 0) and port boxes 0
// and 1 (devices 1 and 2), each with its record, every drawer closed.
extern const Identity kBridgeRecord;
extern const Identity kPort0Record;
extern const Identity kPort1Record;

constexpr uint32_t kUserAreaBytes = 16;
constexpr uint32_t kRecordBytes = 12;  // the record's bytes in a port box's EEPROM

// The record's bytes in a port box's EEPROM (addresses 0-11) and in a bridge box's user
// area (16 bytes).
void PortRecordBytes(const Identity& record, uint8_t (&bytes)[kRecordBytes]);
void BridgeRecordBytes(const Identity& record, uint8_t (&bytes)[kUserAreaBytes]);

// False when the driver or the bridge state cannot be reached.
bool OpenSimWorld(SimWorld& world);
void CloseSimWorld(SimWorld& world);

// Every box out and factory-fresh, logs empty; then the boxes above plugged in.
bool ResetWorld(SimWorld& world);

// Port box `box` (driver index) plugged in or pulled out.
bool SetPortPresent(SimWorld& world, uint32_t box, bool present);
// The switch of port box `box`: drawerOpen pulls the switch line low (switch state 1).
bool SetPortDrawerOpen(SimWorld& world, uint32_t box, bool drawerOpen);
bool ReadPortEeprom(SimWorld& world, uint32_t box, uint8_t (&memory)[drelvansim::kEepromBytes]);
bool QueryPort(SimWorld& world, uint32_t box, drelvansim::BoxInfo& info);

// Bridge box `box` plugged in or pulled out (its handles become invalid).
bool SetBridgePresent(SimWorld& world, uint32_t box, bool present);
// The switch reply of bridge box `box`: drawer open answers 0x00 (switch state 1), closed
// answers 0x7D (switch state 0).
bool SetBridgeDrawerOpen(SimWorld& world, uint32_t box, bool drawerOpen);
// A copy of bridge box `box` as the world holds it now.
bool ReadBridge(SimWorld& world, uint32_t box, sim::BridgeBox& copy);

// Where the logs stand now, and what they gained since.
struct LogMark {
  uint32_t portEvents;
  uint32_t bridgeCalls;
};
LogMark Mark(SimWorld& world);
std::vector<drelvansim::Event> PortEventsSince(SimWorld& world, const LogMark& mark);
// The D2XX calls since the mark (the control tool's own entries left out).
std::vector<bridgesim::Call> BridgeCallsSince(SimWorld& world, const LogMark& mark);

// The changes of port box `box`'s drawer line among `events`.
std::vector<drelvansim::Event> DrawerChanges(const std::vector<drelvansim::Event>& events,
                                             uint32_t box);

}  // namespace toolcheck

#endif  // TESTS_E2E_TOOL_SIM_WORLD_H
