// The driver-port backend's own state, the port transfers, and the operations its other
// files build on. Not for the front: the front sees driverport/driverport.h only.
//
// A request carries the 4-byte command block and gets the 6-byte reply block back:
//   status read        14 14 pp 00   reply byte 1 = port status
//   drawer-port write  17 2F pp 00
//   pin write          15 00 pp 00   (serial EEPROM pins)
//   pin sample         14 00 pp 00   reply byte 1 bit 6 = EEPROM data out
// Both blocks persist between requests: an operation sets only the bytes it names, the
// others keep what the last one left (pp of a read is the pattern of the last write).
#ifndef TEVRO_DRIVERPORT_LINK_H
#define TEVRO_DRIVERPORT_LINK_H

#include <windows.h>
#include <stdint.h>

#include "common/box_lock.h"
#include "common/box_reach.h"
#include "common/gone_box.h"
#include "driverport/microwire.h"

constexpr uint8_t kPortMaxIndex = 9;
constexpr uint8_t kPortNoIndex = 255;
constexpr DWORD kPortRequestCode = 4;          // device type 0, function 1, buffered
constexpr DWORD kPortRecoveryCode = 0x222031;  // device type 0x22, function 0x80C, in-direct

// Port status bits.
constexpr uint8_t kStatusDrawer = 0x01;  // 0 energises the solenoid
constexpr uint8_t kStatusSwitch = 0x04;  // pulled up by every drawer write; 0 = switch closed

struct PortCommand {
  uint8_t bytes[4];
};

struct PortReply {
  uint8_t bytes[6];
};

// The EEPROM pins as the framing drives them: a pin write, and a pin sample whose reply
// byte 1 carries data out. Only between PortOpenDevice and PortCloseDevice.
bool PortPinWrite(void* context, uint8_t pattern);
bool PortPinSample(void* context, uint8_t* reply);

struct DriverPortLink {
  // The link: one device open per operation, the blocks every transfer uses.
  HANDLE handle = INVALID_HANDLE_VALUE;  // open device inside one operation only
  PortCommand command = {};              // sent by every transfer as it stands
  PortReply reply = {};                  // filled by the driver
  DWORD bytesReturned = 0;               // never examined
  Microwire eeprom = {{PortPinWrite, PortPinSample, nullptr}, {}};  // the EEPROM on the pins
  bool boxHeld = false;              // the open device's box is taken (common/box_lock.h)
  bool boxGuarded = false;           // ... and its mutex is had: the box may be written
  uint8_t openIndex = kPortNoIndex;  // the box whose device is open
  uint16_t usedBoxes = 0;            // bit N: this process has opened box N's device
  bool eepromWritesEnabled = false;  // the EEPROM work under way may have left writes on

  // The session: the box addressed and its counts. Only the session open and close (and a
  // scan with no session open) choose the box.
  uint8_t deviceIndex = 0;     // N of \\.\Drelvan_N; kPortNoIndex after the close
  uint32_t localOpenCnt = 0;   // pulses started since the session was opened
  uint32_t storedOpenCnt = 0;  // copy of the opening counter stored in the box
  bool storedValid = false;    // storedOpenCnt was read from the box (or written) in this session
  bool closed = false;         // the last session was closed; no successful open since
  uint32_t closedTotal = 0;    // total openings as that close left them

  // The drawer pulse: at most one pending, and a release still owed to a box.
  bool pulsePending = false;  // a pulse is written and its release not yet tried
  int64_t pulseStart = 0;     // performance counter when the pending pulse was written
  uint8_t releaseIndex = 0;   // the box of the last pulse written
  uint16_t releasesOwed = 0;  // bit N: a pulse was written to box N and no release since
  MissedOpens releaseMissed[kPortMaxIndex + 1] = {};  // box N's device not found, for its release
  // Pulses of processes that are gone, on boxes this process has used: when box N's owner
  // was last asked about, and the tries that did not find box N's device.
  int64_t ownerCheckAt[kPortMaxIndex + 1] = {};
  MissedOpens deadPulseMissed[kPortMaxIndex + 1] = {};
};

extern DriverPortLink gPortLink;

// True for a valid port status: bit 3 clear and bits 4-7 set (0xF0..0xF7).
bool IsValidStatus(uint8_t status);

// Opens box 'index' for one operation: takes the box (waiting at most waitMs), then
// CreateFileA, a status read and, when the status is not valid, one recovery request.
// Returns the open handle, or INVALID_HANDLE_VALUE (nothing held, device closed again);
// *reach, when given, says how it went. Index above 9: INVALID_HANDLE_VALUE without a
// system call. After a holder that died, the session's copy of the counter is not trusted
// and the box's EEPROM starts its next operation cleanly; a pulse left running by a
// process that is gone is released once its time is up.
HANDLE PortOpenDevice(uint8_t index, BoxReach* reach = nullptr, DWORD waitMs = kBoxWaitMs);
// Closes the operation's handle and gives the box back (index 0..9; nothing above).
void PortCloseDevice(uint8_t index);

// Transfers, only between PortOpenDevice and PortCloseDevice. Each returns true when the
// driver carried the request out.
bool PortTransfer();
bool PortReadStatus();  // status in reply byte 1
bool PortWriteDrawer(uint8_t pattern);
bool PortWritePins(uint8_t pattern);
bool PortSamplePins();  // data out in reply byte 1, bit 6

// Decides whether box 'index' answers: open, read the status, write it back with bit 2 set
// (and, when the drawer line reads energised with no living process's pulse on it, with
// the release), close. Returns the open result (never kNotOpen on success) or kNotOpen;
// *reach, when given, says how the open went. Touches only the link, not the session.
int32_t PortProbe(uint8_t index, BoxReach* reach = nullptr);

// The EEPROM work of one operation on the open device. Begin starts it as the box's shared
// record says the last holder left the part: a deselect first when the last may not have
// arrived, a write disable first when writes may still be enabled; until End records how
// this operation left the part, the record says it is unsure, so that a holder that dies
// meanwhile leaves the next one a clean start. MarkWritesEnabled: before a write enable
// goes out (true), and once the write disable has (false).
void PortBeginEepromWork();
void PortMarkWritesEnabled(bool enabled);
void PortEndEepromWork();

// Device 'index' open and its box taken: releases a pulse that a process that is gone left
// running on it, once the pulse's time is up (drawer.cpp).
void PortReleaseOrphanedPulse(uint8_t index);

// Reads the counter stored in box 'index' in one device open; touches no session field.
// False when the box did not open or a transfer failed (identity.cpp).
bool PortReadCounterOf(uint8_t index, uint32_t* value);

#endif  // TEVRO_DRIVERPORT_LINK_H
