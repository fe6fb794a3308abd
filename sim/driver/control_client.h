/*
 * control_client.h - user-mode access to the stand-in port driver's control device, for
 * the control tool and the end-to-end tests. Each call returns true when the driver carried
 * the request out.
 */
#ifndef SIM_DRIVER_CONTROL_CLIENT_H
#define SIM_DRIVER_CONTROL_CLIENT_H

#include <windows.h>

#include "driver/control_interface.h"

namespace drelvansim {

// The control device, or INVALID_HANDLE_VALUE when the driver is not running.
HANDLE ControlOpen();
void ControlClose(HANDLE control);

bool ControlInfo(HANDLE control, SimInfo& info);
bool ControlConfigure(HANDLE control, const BoxConfig& config, BoxInfo* after = nullptr);
bool ControlQuery(HANDLE control, uint32_t box, BoxInfo& info);
bool ControlEepromRead(HANDLE control, uint32_t box, uint8_t (&memory)[kEepromBytes]);
bool ControlEepromWrite(HANDLE control, uint32_t box, uint32_t offset, const uint8_t* data,
                        uint32_t length);
bool ControlClearLog(HANDLE control);
bool ControlResetAll(HANDLE control);

// The hold (control_interface.h): arms it (request.request 0 disarms), lets a held request
// go (carried out, or cancelled), or reads its state. *state, when given, receives the state
// after the request.
bool ControlHold(HANDLE control, const HoldRequest& request, HoldState* state = nullptr);
bool ControlLetGo(HANDLE control, bool carryOut, HoldState* state = nullptr);
bool ControlHoldState(HANDLE control, HoldState& state);

// Reads up to `capacity` events from sequence number fromSeq on into events; *returned
// receives how many, *next the sequence number to continue from, *oldest the oldest one
// the driver still held (a gap when it is above fromSeq).
bool ControlReadLog(HANDLE control, uint32_t fromSeq, Event* events, uint32_t capacity,
                    uint32_t* returned, uint32_t* next, uint32_t* oldest = nullptr);

// A configuration that changes nothing yet, for box `box`.
BoxConfig NoChange(uint32_t box);

}  // namespace drelvansim

#endif  // SIM_DRIVER_CONTROL_CLIENT_H
