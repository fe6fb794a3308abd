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
#include "common/contract.h"
#include "common/gone_box.h"
#include "common/status.h"
#include "driverport/box_record.h"
#include "driverport/microwire.h"

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
// byte 1 carries data out; only between PortOpenDevice and PortCloseDevice. And the ready
// wait's clock (the performance counter in microseconds) and pause (Sleep(1)).
bool PortPinWrite(void* context, uint8_t pattern);
bool PortPinSample(void* context, uint8_t* reply);
int64_t PortNowUs(void* context);
void PortPause(void* context);

// The link: one device open per operation, the blocks every transfer uses, and the box the
// session addresses. Written by link.cpp, except: the hold (identity.cpp), the box addressed
// after a scan with no session open (discovery.cpp), the framing's state (microwire.cpp,
// through the Microwire record it is passed), and when a pulse on the open box falls due
// (drawer.cpp). The drawer pulse is drawer.cpp's own record.
struct PortLink {
  HANDLE handle = INVALID_HANDLE_VALUE;  // open device inside one operation only
  PortCommand command = {};              // sent by every transfer as it stands
  PortReply reply = {};                  // filled by the driver
  DWORD bytesReturned = 0;               // never examined
  Microwire eeprom = {{PortPinWrite, PortPinSample, PortNowUs, PortPause, nullptr}, {}};
  bool boxLocked = false;            // the open device's box is locked (common/box_lock.h)
  BoxTurn turn = {};                 // ... and how: whether it may be written
  bool holding = false;              // the device stays open between operations (a hold)
  uint8_t openIndex = kNoBox;        // the box whose device is open
  uint16_t usedBoxes = 0;            // bit N: this process has opened box N's device
  bool eepromWritesEnabled = false;  // the EEPROM work under way may have left writes on
  uint8_t lastPins = 0;              // the pattern of the last pin write (a sample carries it)
  // During EEPROM work, when a pulse on the open box falls due (performance counter; 0: none):
  // the holder releases it before its next request (drawer.cpp), inside an instruction too.
  int64_t pulseDueAt = 0;
  bool releasing = false;  // the requests of that release are under way
  // How this process last left each box's EEPROM (the kEeprom* bits of box_record.h), for the
  // unload's look at a box whose shared record cannot be had; and bit N: box N's part did not get
  // ready at this process's last look, so the next gets one look, not the whole wait.
  uint8_t eepromLeft[kBoxes] = {};
  uint16_t stuckBoxes = 0;

  // The box the session addresses: chosen by the session open and close, and by a scan
  // with no session open.
  uint8_t deviceIndex = 0;  // N of \\.\Drelvan_N; kNoBox after the close
};

extern PortLink gPortLink;

// True for a valid port status: bit 3 clear and bits 4-7 set (0xF0..0xF7).
bool IsValidStatus(uint8_t status);

// Opens box 'index' for one operation: takes the box (waiting at most waitMs), then
// CreateFileA, a status read and, when the status is not valid, one recovery request.
// Done with the device open in gPortLink.handle (taken without its lock when gPortLink.turn
// says so); otherwise why not, nothing held and the device closed again. Index above 9:
// kNoSuchBox without a system call. After a holder that died, the box's EEPROM starts its
// next operation cleanly; a pulse left running by a process that is gone is released once
// its time is up.
Status PortOpenDevice(uint8_t index, DWORD waitMs = kBoxWaitMs);
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
// the release), close. Done, *opened then the open result (never -1); otherwise why not.
// Does not change the box addressed.
Status PortProbe(uint8_t index, int32_t* opened);

// The EEPROM work of one operation on the open device. Begin starts it clean, whatever the
// last holder left: a deselect first (nothing continues a half-sent instruction); where the
// part may still be programming (the box's shared record says so, or knows nothing, or
// cannot be had), a wait for ready ('patience': the whole wait, or one as long as the
// slowest part programs a byte, 10 ms); where writes
// may still be enabled (so the record says, or it cannot be had), a write disable. Until End
// records how this operation left the part, the record says it is unsure and may be programming, so
// that a holder that dies meanwhile leaves the next one the same clean start. False, with nothing
// sent, when the box was taken without its lock (its pins are the lock holder's), and
// false when the part did not get ready (nothing more may go into it); End is called
// either way. MarkWritesEnabled: before a write enable goes out (the shared record learns
// it at once). MarkWritesDisabled: once the write disable has gone out (the record learns
// it at End).
enum class EepromPatience : uint8_t { kWait, kBrief };
bool PortBeginEepromWork(EepromPatience patience);
void PortMarkWritesEnabled();
void PortMarkWritesDisabled();
void PortEndEepromWork();
// At the unload: each box this process used whose EEPROM was left with writes enabled or a
// byte programming (its write disable could not go out) gets the clean start of Begin now,
// where the box can be had at once and its part shows ready within 10 ms, rather than leaving
// it to whoever comes next.
void PortFinishEepromWork();
// The open box's count of counter writes begun by any process (box_record.h): Note before a
// write of the counter goes out, so that one cut short counts too; false from Writes when
// the box's record cannot be had.
void PortNoteCounterWrite();
bool PortCounterWrites(uint32_t* writes);

// Device 'index' open and its box taken: releases a pulse that a process that is gone left
// running on it, once the pulse's time is up (drawer.cpp).
void PortReleaseOrphanedPulse(uint8_t index);
// Device 'index' open, its valid 'status' just read: what the probe writes back, the status
// with bit 2 set; released where the drawer line is energised by no living process (with no
// record of a pulse, at once; a gone process's pulse once its time is up, which the probe
// waits for) (drawer.cpp).
uint8_t PortProbeWriteBack(uint8_t index, uint8_t status);
// Device 'index' open and its box taken: when the earliest pulse on it falls due, its own or
// another process's (performance counter; 0 when none runs), and the release of that pulse,
// once due, whoever started it; the release sets the next due time (drawer.cpp).
int64_t PortPulseDueAt(uint8_t index);
void PortReleaseDuePulse(uint8_t index);

// The device of box 'index' for one operation: opened, or (inside a hold of that box) the
// one already open. End gives it back unless a hold keeps it. Begin says why the box was
// not reached.
Status PortBeginOperation(uint8_t index);
void PortEndOperation(uint8_t index);

#endif  // TEVRO_DRIVERPORT_LINK_H
