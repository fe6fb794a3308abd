// The driver-port backend's own state, the port transfers, and the operations its other
// files build on. Not for the front: the front sees driverport/driverport.h only.
//
// A request carries the 4-byte command block and gets the 6-byte reply block back:
//   status read        14 14 pp 00   reply byte 1 = port status
//   drawer-port write  17 2F pp 00
//   pin write          15 00 pp 00   (serial EEPROM pins)
//   pin sample         14 00 pp 00   reply byte 1 bit 6 = EEPROM data out
// Both blocks persist between requests, from one operation to the next: an operation sets
// only the bytes it names, the others keep what the last one left (pp of a read is the
// pattern of the last write, and a failed transfer leaves the reply as it was).
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

// The blocks every request goes out with and comes back in, and the pattern of the last pin
// write (a sample carries it).
struct PortBlocks {
  PortCommand command;
  PortReply reply;
  uint8_t lastPins;
};

// The drawer pulse of this process: at most one pending, and the releases still owed to
// boxes. Written by drawer.cpp only.
struct DrawerPulse {
  bool pulsePending;                  // a pulse is written and its release not yet tried
  int64_t pulseStart;                 // performance counter when the pending pulse was written
  uint8_t releaseBox;                 // the box of the last pulse written
  uint16_t owedReleases;              // bit N: a pulse was written to box N and no release since
  MissedOpens releaseMissed[kBoxes];  // box N's device not found, for its release
  // Pulses of processes that are gone, on boxes this process has used: when box N's owner
  // was last asked about, and the tries that did not find box N's device.
  int64_t ownerCheckAt[kBoxes];
  MissedOpens deadPulseMissed[kBoxes];
};

// What the backend keeps between exported calls, load to unload, besides the views of its
// boxes' shared records (box_record.cpp keeps those); one operation's device is a
// PortDevice. The session's box is chosen by the session open and close, and by a scan with
// no session open (discovery.cpp); the boxes used are marked and the blocks taken by every
// device open, the blocks left by its close, the EEPROM's marks by the EEPROM work's end
// (link.cpp); the pulse is drawer.cpp's.
struct PortBackendState {
  uint8_t sessionBox = 0;  // N of \\.\Drelvan_N the session addresses; kNoBox after the close
  uint16_t usedBoxes = 0;  // bit N: this process has opened box N's device
  // How this process last left each box's EEPROM (the kEeprom* bits of box_record.h), for the
  // unload's look at a box whose shared record cannot be had; and bit N: box N's part did not get
  // ready at this process's last look, so the next gets one look, not the whole wait.
  uint8_t eepromLeft[kBoxes] = {};
  uint16_t stuckBoxes = 0;
  PortBlocks blocks = {};  // as the last request left them
  DrawerPulse pulse = {};
};

extern PortBackendState gPortBackend;

// One operation's open device, from its open to its close: every function that sends a
// request is handed the one it goes through. Made only by a PortOpening.
struct PortDevice {
  PortDevice();
  PortDevice(const PortDevice&) = delete;
  PortDevice& operator=(const PortDevice&) = delete;

  uint8_t box = kNoBox;                  // the box whose device is open
  HANDLE handle = INVALID_HANDLE_VALUE;  // its device, once CreateFileA gave it
  bool boxTaken = false;                 // the box is taken (common/box_lock.h) ...
  BoxTurn turn = {};                     // ... and how: whether it may be written
  PortBlocks blocks = {};                // the blocks every transfer uses
  DWORD bytesReturned = 0;               // never examined
  // The EEPROM framing, its pins this device's (its callbacks' context is the device).
  Microwire eeprom = {};
  bool eepromWritesEnabled = false;  // the EEPROM work under way may have left writes on
  Status eepromFailure = kDone;      // the first pin transfer of that work that failed
  // During EEPROM work, when a pulse on the box falls due (performance counter; 0: none):
  // the holder releases it before its next request (drawer.cpp), inside an instruction too.
  int64_t pulseDueAt = 0;
  bool releasing = false;  // the requests of that release are under way
};

// Opens box 'box' for one operation: takes the box (waiting at most waitMs), then
// CreateFileA, a status read and, when the status is not valid, one recovery request.
// Done with the device open (taken without its lock when its turn says so); otherwise why
// not, nothing held and the device closed again before the constructor returns. Box above
// 9: kNoSuchBox without a system call. After a holder that died, the box's EEPROM starts its
// next operation cleanly; a pulse left running by a process that is gone is released once
// its time is up. The destructor (or Close, at most once) closes the device and gives the
// box back.
class PortOpening {
 public:
  explicit PortOpening(uint8_t box, DWORD waitMs = kBoxWaitMs);
  ~PortOpening() { Close(); }
  PortOpening(const PortOpening&) = delete;
  PortOpening& operator=(const PortOpening&) = delete;

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }
  PortDevice& device() { return device_; }
  void Close();

 private:
  PortDevice device_;
  Status status_;
};

// True for a valid port status: bit 3 clear and bits 4-7 set (0xF0..0xF7).
bool IsValidStatus(uint8_t status);

// What a transfer that gets a reply gives its caller: done, or the failed DeviceIoControl
// (kRequestFailed with its error); and the reply block as the transfer left it (after a
// failure, as it was before).
struct PortExchange {
  Status status;
  PortReply reply;
  bool ok() const { return status.ok(); }
};

// Transfers on the open device.
PortExchange PortReadStatus(PortDevice& device);  // status in reply byte 1
Status PortWriteDrawer(PortDevice& device, uint8_t pattern);
Status PortWritePins(PortDevice& device, uint8_t pattern);
PortExchange PortSamplePins(PortDevice& device);  // data out in reply byte 1, bit 6

// The EEPROM pins as the framing drives them (context: the PortDevice): a pin write, and a
// pin sample whose reply byte 1 carries data out. And the ready wait's clock (the
// performance counter in microseconds) and pause (Sleep(1)).
bool PortPinWrite(void* context, uint8_t pattern);
bool PortPinSample(void* context, uint8_t* reply);
int64_t PortNowUs(void* context);
void PortPause(void* context);

// Decides whether box 'box' answers: open, read the status, write it back with bit 2 set
// (and, when the drawer line reads energised with no living process's pulse on it, with
// the release), close. Done, *opened then the open result (never -1); otherwise why not.
// Does not change the box addressed.
Status PortProbe(uint8_t box, int32_t* opened);

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
bool PortBeginEepromWork(PortDevice& device, EepromPatience patience);
void PortMarkWritesEnabled(PortDevice& device);
void PortMarkWritesDisabled(PortDevice& device);
void PortEndEepromWork(PortDevice& device);
// At the unload: each box this process used whose EEPROM was left with writes enabled or a
// byte programming (its write disable could not go out) gets the clean start of Begin now,
// where the box can be had at once and its part shows ready within 10 ms, rather than leaving
// it to whoever comes next.
void PortFinishEepromWork();
// The open box's count of counter writes begun by any process (box_record.h): Note before a
// write of the counter goes out, so that one cut short counts too; false from Writes when
// the box's record cannot be had.
void PortNoteCounterWrite(const PortDevice& device);
bool PortCounterWrites(const PortDevice& device, uint32_t* writes);

// The open device's box taken: releases a pulse that a process that is gone left running on
// it, once the pulse's time is up (drawer.cpp).
void PortReleaseOrphanedPulse(PortDevice& device);
// Device of box 'box' open, its valid 'status' just read: what the probe writes back, the
// status with bit 2 set; released where the drawer line is energised by no living process
// (with no record of a pulse, at once; a gone process's pulse once its time is up, which the
// probe waits for) (drawer.cpp).
uint8_t PortProbeWriteBack(uint8_t box, uint8_t status);
// Box 'box' taken: when the earliest pulse on it falls due, its own or another process's
// (performance counter; 0 when none runs) (drawer.cpp). ReleaseDuePulse: on the open device,
// the release of that pulse, once due, whoever started it; it sets the device's next due
// time.
int64_t PortPulseDueAt(uint8_t box);
void PortReleaseDuePulse(PortDevice& device);

#endif  // TEVRO_DRIVERPORT_LINK_H
