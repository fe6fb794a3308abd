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
  bool boxHeld = false;          // the open device's box is taken (common/box_lock.h)
  uint16_t cleanStartsOwed = 0;  // bit N: box N's last holder died; its EEPROM starts clean

  // The session: the box addressed and its counts. Only the session open and close (and a
  // scan with no session open) choose the box.
  uint8_t deviceIndex = 0;     // N of \\.\Drelvan_N; kPortNoIndex after the close
  uint32_t localOpenCnt = 0;   // pulses started since the session was opened
  uint32_t storedOpenCnt = 0;  // copy of the opening counter stored in the box
  bool storedValid = false;    // storedOpenCnt was read from the box (or written) in this session
  bool closed = false;         // the last session was closed; no successful open since
  uint32_t closedTotal = 0;    // total openings as that close left them

  // The drawer pulse: at most one pending, and a release still owed to a box.
  UINT_PTR pulseTimerId = 0;  // timer of the pending pulse; 0 when none
  int64_t pulseStart = 0;     // performance counter when the pending pulse was written
  uint8_t releaseIndex = 0;   // the box of the last pulse written
  uint16_t releasesOwed = 0;  // bit N: a pulse was written to box N and no release since
  uint8_t releaseMisses[kPortMaxIndex + 1] = {};  // tries in a row box N's device did not open
  bool timersLeft = false;  // a pulse's timer lives on in a thread that could not kill it

  // Openings of closed sessions that could not be written back because another caller kept
  // the box; retried on later calls and at unload. By box index.
  uint32_t owedOpenings[kPortMaxIndex + 1] = {};
  bool openingsOwed = false;  // some entry of owedOpenings is not 0
};

extern DriverPortLink gPortLink;

// True for a valid port status: bit 3 clear and bits 4-7 set (0xF0..0xF7).
bool IsValidStatus(uint8_t status);

// Why PortOpenDevice did not open a box.
enum class PortOpenFailure : uint8_t {
  kNone,
  kNoDevice,  // CreateFileA failed: no such device
  kBusy,      // another caller kept the box for the whole wait
  kNoAnswer,  // no valid status after the recovery request, or an index above 9
};

// Opens box 'index' for one operation: takes the box (waiting at most waitMs), then
// CreateFileA, a status read and, when the status is not valid, one recovery request.
// Returns the open handle, or INVALID_HANDLE_VALUE (nothing held, device closed again);
// *failure, when given, says why. Index above 9: INVALID_HANDLE_VALUE without a system
// call. After a holder that died, the EEPROM is brought to a clean start; a pulse left
// running by a process that is gone is released once its time is up.
HANDLE PortOpenDevice(uint8_t index, PortOpenFailure* failure = nullptr, DWORD waitMs = kBoxWaitMs);
// Closes the operation's handle and gives the box back (index 0..9; nothing above).
void PortCloseDevice(uint8_t index);

// Transfers, only between PortOpenDevice and PortCloseDevice. Each returns true when the
// driver carried the request out.
bool PortTransfer();
bool PortReadStatus();  // status in reply byte 1
bool PortWriteDrawer(uint8_t pattern);
bool PortWritePins(uint8_t pattern);
bool PortSamplePins();  // data out in reply byte 1, bit 6

// Decides whether box 'index' answers: open, read the status, write it back with bit 2 set,
// close. Returns the open result (never kNotOpen on success) or kNotOpen; *busy, when
// given, tells whether another caller kept the box. Touches only the link, not the session.
int32_t PortProbe(uint8_t index, bool* busy = nullptr);

// Completes a pending pulse: waits until it has lasted its 60 ms, stops its timer and
// releases the drawer; retries a release owed to a box (drawer.cpp). 'endedBy' names the
// caller for the trace ("the close", "an open", ...).
void PortCompletePulse(const char* endedBy);
// Device 'index' open and its box taken: releases a pulse that a process that is gone left
// running on it, once the pulse's time is up (drawer.cpp).
void PortReleaseOrphanedPulse(uint8_t index);

// Reads the counter stored in box 'index' in one device open; touches no session field.
// False when the box did not open or a transfer failed (identity.cpp).
bool PortReadCounterOf(uint8_t index, uint32_t* value);

// The session close's write-back (identity.cpp): reads the counter stored in the box and
// writes it back plus localOpenCnt, in one device open. When that read fails the cached
// storedOpenCnt is used, if it was ever read in this session; otherwise nothing is written.
// A box another caller keeps for kBoxCloseWaitMs is owed the openings instead. *total
// receives the sum written (or, when nothing could be written, storedOpenCnt +
// localOpenCnt). True when the write completed.
bool PortWriteBackOpenCnt(uint32_t* total);
// Writes owed openings back to the boxes that were busy, waiting at most waitMs for each;
// a box that no longer answers is owed nothing more (identity.cpp).
void PortSettleOwedOpenings(DWORD waitMs);

#endif  // TEVRO_DRIVERPORT_LINK_H
