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

// Session. Open: addresses box 'index', probes it and reads its stored counter (*counter);
// the open result, or kNotOpen. The front completes a pending pulse first.
int32_t PortOpenSession(uint8_t index, CounterSeen* counter);
void PortCloseSession();

// Drawer and switch.
KickResult PortKick();  // pulse written on a box with a valid status; counted once its status
                        // was read; the library's timer releases it 60 ms later. Nothing, with
                        // no device access, while one is pending
bool PortRelease();     // ends the pulse now; true when the release reached a valid box
bool PortReadSwitch(bool* readNow);  // true when the switch line reads 0 on a valid status
void PortFirmwareText(char* buf);    // "Cy"; no device access

// Identity record, in the box's serial EEPROM; every completed write beeps once. A read or
// completed write of the counter field shows the stored counter (*counter).
bool PortReadField(IdentityField field, uint32_t* value, const CounterSeen* expected,
                   CounterSeen* counter);
bool PortWriteField(IdentityField field, uint32_t value, const uint32_t* holds,
                    CounterSeen* counter);

// The box held for a read-modify-write: one device open, its lock kept.
BoxReach PortHoldBox(uint8_t index, DWORD waitMs);
void PortLetGo(uint8_t index);

// Discovery: the boxes at indexes 0, 1, ... up to the first that does not answer. The front
// completes a pending pulse first.
uint8_t PortScan(ScanMode mode);

// Lifetime. FinishOverdue: ends a pulse whose time is up (when the library's timer is
// late), tries a release still owed to a box, and releases a pulse of a process that is
// gone on a box this process has used, without waiting for a box another caller keeps.
// CompletePulse: waits out a pending pulse, releases it and tries the releases owed.
// Detach: what it still cannot release is left to the other programs.
void PortFinishOverdue();
void PortCompletePulse(const char* endedBy);
void PortDetach(UnloadKind kind);

#endif  // TEVRO_DRIVERPORT_DRIVERPORT_H
