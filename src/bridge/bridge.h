// Bridge backend: the box behind a USB-serial bridge, reached through the D2XX library.
// These are the operations the front calls; the driver-port backend offers the same set
// with the same result types (driverport/driverport.h).
//
// Every operation that touches the box opens it (one retry after 10 ms), does its exchange
// and closes it again before it returns; it addresses the box selected by the last session
// open. Indexes are D2XX device numbers 0..9; anything above fails without a D2XX call.
#ifndef TEVRO_BRIDGE_BRIDGE_H
#define TEVRO_BRIDGE_BRIDGE_H

#include <windows.h>
#include <stdint.h>

#include "common/box_reach.h"
#include "common/unload_kind.h"

// Session. Open: selects box 'index' (local count 0), sets up its line and caches its
// identity record; the open result, or kNotOpen. Close: the front has written the
// openings back; 'total' is the total from then on; deselects. Always true.
int32_t BridgeOpenInterface(uint8_t index);
bool BridgeCloseInterface(uint32_t total);

// Drawer and switch.
bool BridgeKick();  // true when the box took the whole kick (counted); else beeps, false
bool BridgeGetSwitch(char* readFlag);      // last known state; *readFlag 1 when read now
void BridgeGetFirmWareVersion(char* buf);  // "FTDI>=1.6" or "FTDI<1.6"; untouched if no box

// Counts and identity record. Getters: the field as the box holds it now, 0 when it cannot
// be read. Setters: true when written; each changes only its own field.
uint32_t BridgeGetLastOpenCnt();
uint32_t BridgeGetLocalOpenCnt();  // openings since the session open; no device access
uint32_t BridgeGetTotalOpenCnt();  // stored + local (after a close: the total written back)
uint32_t BridgeGetSerialNumber();
uint32_t BridgeGetMfgDate();
bool BridgeSetSerialNumber(uint32_t value);
bool BridgeSetMfgDate(uint32_t value);
bool BridgeSetLastOpenCnt(uint32_t value);  // true without a write when already stored

// The counter of box 'index' for the front's write-back: held (the box open, its turn
// kept) from BridgeHoldBox to BridgeLetGo, and read and written in between. A box whose
// turn cannot be had (kUnguarded) or whose user area cannot hold the record (kNoRecord)
// is not held. The write writes the record read in the hold with the new counter.
BoxReach BridgeHoldBox(uint8_t index, DWORD waitMs);
void BridgeLetGo(uint8_t index);
bool BridgeReadHeldCounter(uint32_t* value);
bool BridgeWriteHeldCounter(uint32_t value);
bool BridgeCachedCounter(uint32_t* value);  // the session's copy, when read in it

// Discovery: the boxes at device numbers 0, 1, ... up to the first that does not open; 0
// without a D2XX call when the D2XX library is not in the system folder or cannot be
// bound. The probes leave the session alone; with leaveSession false the backend is left
// addressing the first number that did not open, local count 0.
uint8_t BridgeScan(bool leaveSession);

// Detach: the library is unloaded; releases the D2XX library unless the whole process is
// ending.
void BridgeDetach(UnloadKind kind);

#endif  // TEVRO_BRIDGE_BRIDGE_H
