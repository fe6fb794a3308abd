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

#include "common/contract.h"

// Session. Open: addresses box 'index', sets up its line and caches its identity record
// (*counter: its stored counter, when the record was read whole); the open result, or
// kNotOpen. Close: the box is no longer addressed.
int32_t BridgeOpenInterface(uint8_t index, CounterSeen* counter);
void BridgeCloseInterface();

// Drawer and switch.
KickResult BridgeKick();  // reached and counted when the box took the whole kick; else beeps
bool BridgeReadSwitch(bool* readNow);  // true unless the firmware answered '}'
void BridgeFirmwareText(char* buf);    // "FTDI>=1.6" or "FTDI<1.6"; untouched if no box

// Identity record, in the user area: a write reads the record first, so that only its
// field changes; a counter already stored is not written again. Every record read whole,
// for any field, shows the stored counter (*counter).
bool BridgeReadField(IdentityField field, uint32_t* value, const CounterSeen* expected,
                     CounterSeen* counter);
bool BridgeWriteField(IdentityField field, uint32_t value, const uint32_t* holds,
                      CounterSeen* counter);

// The box held for a read-modify-write: open, its lock kept. A box whose lock cannot be
// had (kWithoutLock) or whose user area cannot hold the record (kNoRecord) is not held.
BoxReach BridgeHoldBox(uint8_t index, DWORD waitMs);
void BridgeLetGo(uint8_t index);

// Discovery: the boxes at device numbers 0, 1, ... up to the first that does not open; 0
// without a D2XX call when the D2XX library is not in the system folder or cannot be
// bound.
uint8_t BridgeScan(ScanMode mode);

// Detach: the library is unloaded; releases the D2XX library unless the whole process is
// ending.
void BridgeDetach(UnloadKind kind);

#endif  // TEVRO_BRIDGE_BRIDGE_H
