// The simulated boxes as the library checks set them up and inspect them: port boxes through
// the stand-in driver's control device, bridge boxes in the stand-in ftd2xx.dll's shared
// world; identity records read and written in the boxes' own memory formats; the calling
// thread's message dispatch, which ends a driver-port drawer pulse.
#ifndef TESTS_E2E_SUPPORT_BOXES_H
#define TESTS_E2E_SUPPORT_BOXES_H

#include <windows.h>

#include <stdint.h>

#include <vector>

#include "driver/control_client.h"
#include "ftd2xx/bridge_world.h"

namespace e2e {

// The identity record's three fields.
struct Identity {
  uint32_t count;   // stored opening count
  uint32_t serial;  // serial number
  uint32_t date;    // manufacturing date
};

bool operator==(const Identity& a, const Identity& b);

// --- port boxes (stand-in driver) ---------------------------------------------------------

// Plugs port box N in with port status `status` and the switch as given; its EEPROM and
// counters stay as they are.
bool PortPlugIn(HANDLE control, uint32_t box, uint8_t status = 0xF3, bool switchClosed = false);
bool PortPullOut(HANDLE control, uint32_t box);

// The record in the box's serial EEPROM: addresses 0, 4, 8, least significant byte first.
bool PortWriteIdentity(HANDLE control, uint32_t box, const Identity& identity);
bool PortReadIdentity(HANDLE control, uint32_t box, Identity* identity);

// Box N's state once every close of its device has reached the driver (Wine hands a close
// to the driver after CloseHandle has returned), waiting at most two seconds.
bool PortSettled(HANDLE control, uint32_t box, drelvansim::BoxInfo* info);

// The next event's sequence number, and the events from `from` on.
uint32_t PortLogMark(HANDLE control);
std::vector<drelvansim::Event> PortEventsSince(HANDLE control, uint32_t from);

// One drawer pulse on a box as the driver logged it: the line's change to 0 and back to 1.
struct Pulse {
  uint64_t lowUs;
  uint64_t highUs;  // 0 when the line had not come back in the events looked at
  uint8_t pulsePattern;
  uint8_t releasePattern;
};
std::vector<Pulse> PulsesIn(const std::vector<drelvansim::Event>& events, uint32_t box);

// The hold (control_interface.h): arms it for the request-th request of process `pid` on box
// `box`, counted as `count` says.
bool PortHold(HANDLE control, uint32_t box, uint32_t pid, uint32_t request,
              drelvansim::HoldCount count);

// Waits until the hold reaches `phase`, `process` (optional) has ended, or limitMs has passed;
// true when the phase was reached. *state receives the last state read.
bool WaitForHold(HANDLE control, drelvansim::HoldPhase phase, HANDLE process, DWORD limitMs,
                 drelvansim::HoldState* state);

// --- bridge boxes (stand-in ftd2xx.dll) ---------------------------------------------------
// The world is mapped at the first use and stays mapped.

// Forgets every bridge box and clears the call log.
bool BridgeResetAll();

// Plugs in a fresh bridge box N (16-byte user area, all zero) with these firmware replies.
bool BridgePlugIn(uint32_t box, uint8_t switchReply, uint8_t versionReply);
bool BridgePullOut(uint32_t box);

// The record in the first 16 bytes of the user area: count at 0-3, serial at 4-7, date
// bits 0-15 at 8-9 and bits 16-31 at 12-13 (bytes 14-15 zero), little-endian; bytes 10-11
// belong to no field. *bytes (optional) receives the 16 bytes.
bool BridgeWriteIdentity(uint32_t box, const Identity& identity, uint8_t byte10, uint8_t byte11);

// Box 0 of one variant plugged in alone with `identity` stored: a bridge box (switch open,
// new firmware, spare bytes 0) or a driver-port box (status 0xF3, switch open).
bool PlugInBoxWithIdentity(HANDLE control, bool bridge, const Identity& identity);
bool BridgeReadIdentity(uint32_t box, Identity* identity, uint8_t (*bytes)[16] = nullptr);

// A copy of box N's model (counters of kicks, queries, opens) and of the world's call
// counter; false when the world cannot be had.
bool BridgeSnapshot(uint32_t box, sim::BridgeBox* state, uint32_t* callCount = nullptr);

// D2XX calls logged from `from` on that process `pid` made.
uint32_t BridgeCallsBy(uint32_t pid, uint32_t from);

// --- the calling thread's messages ---------------------------------------------------------

// Dispatches this thread's messages until the driver shows port box `box`'s drawer line
// released, or limitMs has passed; true when it was released. Whatever ends the pulse (a
// timer message dispatched here, or the library's own timer), the caller goes on once it ended.
bool PumpUntilReleased(uint32_t box, DWORD limitMs);

// Dispatches this thread's messages for ms milliseconds.
void PumpFor(DWORD ms);

}  // namespace e2e

#endif  // TESTS_E2E_SUPPORT_BOXES_H
