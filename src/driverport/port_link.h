// Port access through the box maker's kernel driver. Every backend operation opens the
// device, exchanges a few requests and closes it again, so several programs can use one
// box in turn and no handle is held between calls.
//
// A request carries the 4-byte command block and gets the 6-byte reply block back:
//   status read        14 14 pp 00   reply byte 1 = port status
//   drawer-port write  17 2F pp 00
//   pin write          15 00 pp 00   (serial EEPROM pins)
//   pin sample         14 00 pp 00   reply byte 1 bit 6 = EEPROM data out
// Both blocks persist between requests: an operation sets only the bytes it names, the
// others keep what the last one left (pp of a read is the pattern of the last write).
#ifndef TEVRO_DRIVERPORT_PORT_LINK_H
#define TEVRO_DRIVERPORT_PORT_LINK_H

#include <windows.h>
#include <stdint.h>

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

struct DriverPortLink {
  HANDLE handle = INVALID_HANDLE_VALUE;  // open device inside one operation only
  uint8_t deviceIndex = 0;     // the box addressed (N of \\.\Drelvan_N); kPortNoIndex after close
  PortCommand command = {};    // sent by every transfer as it stands
  PortReply reply = {};        // filled by the driver
  DWORD bytesReturned = 0;     // never examined
  uint32_t localOpenCnt = 0;   // pulses started since the session was opened
  uint32_t storedOpenCnt = 0;  // copy of the opening counter stored in the box
  UINT_PTR pulseTimerId = 0;   // timer of the pending pulse; 0 when none

  bool storedValid = false;     // storedOpenCnt was read from the box (or written) in this session
  bool closed = false;          // the session was closed since it was opened
  uint32_t closedTotal = 0;     // total openings as the close left them
  DWORD pulseStartMs = 0;       // tick count when the pending pulse was written
  bool releaseOwed = false;     // a pulse was written and no release has reached the box since
  uint8_t releaseIndex = 0;     // the box that release is owed to
  bool pinsHalted = false;      // a pin transfer failed: the EEPROM instruction is being abandoned
  bool pinsUnsure = false;      // the last deselect may not have reached the box
  bool transferFailed = false;  // some transfer failed since the flag was last cleared
};

extern DriverPortLink gPortLink;

// True for a valid port status: bit 3 clear and bits 4-7 set (0xF0..0xF7).
bool IsValidStatus(uint8_t status);

// Opens box 'index' for one operation: CreateFileA, a status read and, when the status is
// not valid, one recovery request. Returns the open handle, or INVALID_HANDLE_VALUE (device
// closed again). Index above 9: INVALID_HANDLE_VALUE without a system call.
HANDLE PortOpenDevice(uint8_t index);
// Closes the operation's handle (index 0..9; nothing above).
void PortCloseDevice(uint8_t index);

// Transfers, only between PortOpenDevice and PortCloseDevice. Each returns true when the
// driver carried the request out; a failure also sets transferFailed.
bool PortTransfer();
bool PortReadStatus();  // status in reply byte 1
bool PortWriteDrawer(uint8_t pattern);
bool PortWritePins(uint8_t pattern);
bool PortSamplePins();  // data out in reply byte 1, bit 6

// Decides whether box 'index' answers: open, read the status, write it back with bit 2 set,
// close. Sets deviceIndex to index either way. Returns the open result (never -1) or -1.
int32_t PortProbe(uint8_t index);

#endif  // TEVRO_DRIVERPORT_PORT_LINK_H
