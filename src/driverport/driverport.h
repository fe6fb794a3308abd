// Driver-port backend: the box reached through the box maker's kernel driver at
// \\.\Drelvan_N (N = 0..9). These are the operations the front calls; the bridge backend
// offers the same set with the same result types (bridge/bridge.h).
//
// Every operation that touches the box opens the device (a status read, one recovery
// request when the status is not valid), exchanges its requests and closes the device
// before it returns; it addresses the box selected by the last session open.
#ifndef TEVRO_DRIVERPORT_DRIVERPORT_H
#define TEVRO_DRIVERPORT_DRIVERPORT_H

#include <windows.h>
#include <stdint.h>

#include "common/box_reach.h"
#include "common/unload_kind.h"

// Session. Open: completes a pending pulse (waits out its 60 ms, then releases), selects box
// 'index' (counts 0), probes it and loads its stored counter; the open result, or kNotOpen.
// Close: the front has completed the pulse and written the openings back; 'total' is the
// total from then on; deselects. Always true.
int32_t PortOpenSession(uint8_t index);
bool PortCloseSession(uint32_t total);

// Drawer and switch.
bool PortKick();     // pulse written on a box with a valid status (counted either way); the
                     // library's timer releases it 60 ms later. False with no device access
                     // while one is pending
bool PortRelease();  // ends the pulse now; true when the release reached a valid box
bool PortGetSwitch(char* readFlag);      // true when the switch line reads 0; *readFlag 1 when
                                         // read now, else 0 (and false)
void PortGetFirmWareVersion(char* buf);  // "Cy"; no device access

// Counts and identity record. Getters: the field as the box holds it now, 0 when it cannot
// be read (or a transfer failed). Setters: true when written completely; each beeps once.
uint32_t PortGetLastOpenCnt();   // also refreshes the cached stored counter
uint32_t PortGetLocalOpenCnt();  // pulses started since the session open; no device access
uint32_t PortGetTotalOpenCnt();  // stored + local (after a close: the total written back)
uint32_t PortGetSerialNumber();
uint32_t PortGetMfgDate();
bool PortSetSerialNumber(uint32_t value);
bool PortSetMfgDate(uint32_t value);
bool PortSetLastOpenCnt(uint32_t value);

// The counter of box 'index' for the front's write-back: held (one device open, the box's
// turn kept) from PortHoldBox to PortLetGo, and read and written in between. A box whose
// turn cannot be had is not held (kUnguarded). A write of the session's box keeps its
// copy of the counter in step.
BoxReach PortHoldBox(uint8_t index, DWORD waitMs);
void PortLetGo(uint8_t index);
bool PortReadHeldCounter(uint32_t* value);
bool PortWriteHeldCounter(uint32_t value);
bool PortCachedCounter(uint32_t* value);  // the session's copy, when read or written in it

// Discovery: the boxes at indexes 0, 1, ... up to the first that does not answer. A pending
// pulse is completed first (its 60 ms waited out); the probes leave the session alone. With
// leaveSession false the backend is left addressing the first index that did not answer, counts 0.
uint8_t PortScan(bool leaveSession);

// Lifetime. Settle: run on entry to every export; ends a pulse whose time is up (when the
// library's timer is late), retries a release owed to a box, and releases a pulse of a
// process that is gone on a box this process has used. CompletePulse: completes a pending
// pulse (waits out its 60 ms, releases it; 'endedBy' names the caller for the trace) and
// retries the releases owed to boxes. Detach: the library is unloaded; no pulse is left
// running.
void PortSettle();
void PortCompletePulse(const char* endedBy);
void PortDetach(UnloadKind kind);

#endif  // TEVRO_DRIVERPORT_DRIVERPORT_H
