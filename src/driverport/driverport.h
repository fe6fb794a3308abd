// Driver-port backend: the box reached through the box maker's kernel driver at
// \\.\Drelvan_N (N = 0..9). Every operation opens the device, exchanges its requests
// and closes the device before it returns.
#ifndef TEVRO_DRIVERPORT_DRIVERPORT_H
#define TEVRO_DRIVERPORT_DRIVERPORT_H

#include <stdint.h>

// Session.
// Selects box 'index' (resets the counts, ends a pending pulse), probes it and loads the
// stored opening counter. Returns the probe result: -1 when the box does not answer.
int32_t PortOpenSession(uint8_t index);
// Ends a pending pulse, writes the session's openings back and deselects. Always 1.
int32_t PortCloseSession();

// Drawer and switch.
int32_t PortKick();     // 1 when the pulse was written on a box with a valid status
int32_t PortRelease();  // 1 when the release was written on a box with a valid status
int32_t PortGetSwitch(char* readFlag);  // 1 when the switch line reads 0; *readFlag as bridge
uint32_t PortGetLocalOpenCnt();
uint32_t PortGetTotalOpenCnt();
void PortGetFirmWareVersion(char* buf);  // "Cy"

// Identity record in the serial EEPROM.
uint32_t PortGetLastOpenCnt();
uint32_t PortGetSerialNumber();
uint32_t PortGetMfgDate();
bool PortSetSerialNumber(uint32_t value);
bool PortSetMfgDate(uint32_t value);
bool PortSetLastOpenCnt(uint32_t value);

// Discovery: counts the boxes at indexes 0, 1, ... up to the first that does not answer.
uint8_t PortScan();

// Ends a pulse that has been pending for the pulse time or longer, as the timer would.
// Called on entry to every export, so a caller that never dispatches messages does not
// keep the solenoid energised.
void PortServiceOverduePulse();
// Ends a pending pulse now: stops its timer and writes the release.
void PortEndPulse();

// State the scan saves and restores around its probes so an open box survives it.
struct PortSessionSnapshot {
  uint8_t deviceIndex;
  uint32_t localOpenCnt;
  uint32_t storedOpenCnt;
  bool storedValid;
  bool closed;
  uint32_t closedTotal;
};
PortSessionSnapshot PortSaveSession();  // ends a pending pulse first
void PortRestoreSession(const PortSessionSnapshot& snapshot);

#endif  // TEVRO_DRIVERPORT_DRIVERPORT_H
