// Driver-port backend: the box reached through the box maker's kernel driver at
// \\.\Drelvan_N (N = 0..9). These are the operations the front calls (front/backends.h
// has the contract every backend keeps); the bridge backend offers the same set.
//
// Every operation that touches the box opens the device (a status read, one recovery
// request when the status is not valid), exchanges its requests and closes the device
// before it returns; it addresses the box selected by the last session open.
#ifndef TEVRO_DRIVERPORT_DRIVERPORT_H
#define TEVRO_DRIVERPORT_DRIVERPORT_H

#include <windows.h>
#include <stdint.h>

#include "common/contract.h"
#include "common/counter_addition.h"
#include "common/status.h"

// Session. Open: addresses box 'box', probes it and reads its stored counter (*counter);
// *opened: the open result. The front completes a pending pulse first.
Status PortOpenSession(uint8_t box, CounterSeen* counter, int32_t* opened);
void PortCloseSession();

// Drawer and switch.
Status PortKick(bool* counted);  // pulse written on a box with a valid status; counted once its
                                 // status was read; the library's timer releases it 60 ms
                                 // later. Nothing, with no device access, while one is pending
Status PortRelease();            // ends the pulse now; done when the release reached a valid box
Status PortReadSwitch(bool* closed);  // *closed: the switch line reads 0 on a valid status
void PortFirmwareText(char* buf);     // "Cy"; no device access

// Identity record, in the box's serial EEPROM; every completed write beeps once. A read or
// completed write of the counter field shows the stored counter (*counter).
Status PortReadField(IdentityField field, uint32_t* value, CounterSeen* counter);
Status PortWriteField(IdentityField field, uint32_t value, CounterSeen* counter);
// The openings written back, in one device open of box 'box' with its lock kept: the counter
// read (only its low byte, where the session's copy is still the box's and the sum does not
// carry out of it), the sum written (only the bytes that differ, most significant first).
Status PortAddToCounter(uint8_t box, CounterAddition& addition, DWORD waitMs, uint32_t* total,
                        CounterSeen* counter);

// Discovery: the boxes numbered 0, 1, ... up to the first that does not answer. The front
// completes a pending pulse first.
uint8_t PortScan(ScanMode mode, Status* ended);

// Lifetime. FinishOverdue: ends a pulse whose time is up (when the library's timer is
// late), tries a release still owed to a box, and releases a pulse of a process that is
// gone on a box this process has used, without waiting for a box another caller keeps.
// CompletePulse: waits out a pending pulse, releases it and tries the releases owed.
// Detach: what it still cannot release is left to the other programs.
void PortFinishOverdue();
void PortCompletePulse(const char* endedBy);
void PortDetach(UnloadKind kind);

#endif  // TEVRO_DRIVERPORT_DRIVERPORT_H
