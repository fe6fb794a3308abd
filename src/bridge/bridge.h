// Bridge backend: the box behind a USB-serial bridge, reached through the D2XX library.
// Every operation that touches the box opens it, does its exchange and closes it again
// before it returns. Indexes are D2XX device numbers 0..9; anything above fails without
// a D2XX call.
#ifndef TEVRO_BRIDGE_BRIDGE_H
#define TEVRO_BRIDGE_BRIDGE_H

#include <windows.h>
#include <stdint.h>

#include "bridge/d2xx.h"
#include "bridge/user_area.h"

constexpr uint8_t kBridgeMaxIndex = 9;
constexpr uint8_t kBridgeNoIndex = 255;

struct BridgeLink {
  FT_HANDLE handle;       // the open box inside one operation; all bits set otherwise
  uint8_t index;          // selected box (D2XX device number); kBridgeNoIndex when none
  uint32_t localOpenCnt;  // kicks taken since the last interface open
  DWORD userAreaSize;     // user-area size reported at the last interface open
  UserAreaImage image;    // cached copy of the first 16 user-area bytes
  bool closed;            // the interface was closed since its open
  uint32_t closedTotal;   // total openings as written back by that close
};

extern BridgeLink gBridgeLink;

// Link management.
// Opens box 'index' with one retry after 10 ms. Returns the handle, or all bits set
// (after closing) when both attempts failed or the index is above 9.
FT_HANDLE BridgeOpen(uint8_t index);
// Closes the link's handle (status ignored) and sets it to all bits set; nothing for
// an index above 9.
void BridgeClose(uint8_t index);
// Selects box 'index', resets the local count, configures the line and caches the user
// area. Returns the open result (never -1 on success) or -1. The box is closed again.
int32_t BridgeOpenInterface(uint8_t index);
// Writes the openings of the session back (read-modify-write of the stored counter) and
// deselects the box. Always true.
bool BridgeCloseInterface();

// Firmware commands.
// Kicks the drawer. True when the box took all 5 bytes; a refused or short write beeps.
bool BridgeKick();
// Queries the switch. *readFlag := 1 when a reply was read in this call, else 0.
// Returns the last known switch state (true for state 1).
bool BridgeGetSwitch(char* readFlag);
// Writes "FTDI>=1.6" or "FTDI<1.6" into buf; leaves it alone when the box does not open.
void BridgeGetFirmWareVersion(char* buf);

// Identity record in the user area. Getters return 0 and setters false when the box
// cannot be reached, its user area is smaller than 16 bytes, or the read/write fails.
uint32_t BridgeGetLastOpenCnt();
uint32_t BridgeGetSerialNumber();
uint32_t BridgeGetMfgDate();
uint32_t BridgeGetLocalOpenCnt();  // no device access
uint32_t BridgeGetTotalOpenCnt();  // no device access
bool BridgeSetSerialNumber(uint32_t value);
bool BridgeSetMfgDate(uint32_t value);
bool BridgeSetLastOpenCnt(uint32_t value);  // true without a write when already stored
// Interface close: writes (stored counter read from the box, or the cached one when that
// read fails) + local count. *total receives the sum written (or meant to be written).
bool BridgeWriteBackOpenCnt(uint32_t* total);

// Discovery: counts the boxes at D2XX device numbers 0, 1, ... up to the first that does
// not open. 0 without a D2XX call when the D2XX library file is not in the system folder
// or cannot be bound.
uint8_t BridgeScan();

#endif  // TEVRO_BRIDGE_BRIDGE_H
