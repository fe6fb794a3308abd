// Bridge backend: the box behind a USB-serial bridge, reached through the D2XX library.
// These are the operations the front calls; the driver-port backend offers the same set
// with the same result types (driverport/driverport.h).
//
// Every operation that touches the box opens it (one retry after 10 ms), does its exchange
// and closes it again before it returns; it addresses the box selected by the last session
// open. Box numbers are D2XX device numbers 0..9; anything above fails without a D2XX call.
#ifndef TEVRO_BRIDGE_BRIDGE_H
#define TEVRO_BRIDGE_BRIDGE_H

#include <windows.h>
#include <stdint.h>

#include "common/contract.h"
#include "common/counter_addition.h"
#include "common/status.h"

// Session. Open: addresses box 'box', sets up its line and caches its identity record
// (*counter: its stored counter, when the record was read whole); *opened: the open result.
// Close: the box is no longer addressed.
Status BridgeOpenInterface(uint8_t box, CounterSeen* counter, int32_t* opened);
void BridgeCloseInterface();

// Drawer and switch.
Status BridgeKick(bool* counted);       // done and counted when the box took the whole kick;
                                        // else beeps
Status BridgeReadSwitch(bool* closed);  // *closed unless the firmware answered '}'
void BridgeFirmwareText(char* buf);     // "FTDI>=1.6" or "FTDI<1.6"; untouched if no box

// Identity record, in the user area: a write reads the record first, so that only its
// field changes; a counter already stored is not written again. Every record read whole,
// for any field, shows the stored counter (*counter).
Status BridgeReadField(IdentityField field, uint32_t* value, CounterSeen* counter);
Status BridgeWriteField(IdentityField field, uint32_t value, CounterSeen* counter);
// The openings written back, in one open of box 'box' with its lock kept: the record read,
// the counter's sum written into it. A box whose lock cannot be had (kWithoutLock) or whose
// user area cannot hold the record (kNoRecord) is not written. Where the record cannot be
// read, the sum goes into the record kept of the session's box (the session's own close).
Status BridgeAddToCounter(uint8_t box, CounterAddition& addition, DWORD waitMs, uint32_t* total,
                          CounterSeen* counter);

// Discovery: the boxes at device numbers 0, 1, ... up to the first that does not open; 0
// without a D2XX call when the D2XX library is not in the system folder or cannot be
// bound.
uint8_t BridgeScan(ScanMode mode, Status* ended);

// Detach: the library is unloaded; releases the D2XX library unless the whole process is
// ending.
void BridgeDetach(UnloadKind kind);

#endif  // TEVRO_BRIDGE_BRIDGE_H
